#include "featurecircles.h"

#include <QPainter>
#include <QRectF>

void drawFeatureCircles(QPainter &painter, const QVector<Feature> &features, double radius,
                        const QVector<float> &radii)
{
    const bool own = radii.size() == features.size();
    for (int i = 0; i < features.size(); ++i) {
        const double r = own ? (double)radii[i] : radius;
        const double x = features[i].x;
        const double y = features[i].y;
        painter.drawEllipse(QRectF(x - r, y - r, 2.0 * r, 2.0 * r));
    }
}
