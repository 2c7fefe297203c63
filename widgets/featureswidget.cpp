#include "featureswidget.h"

#include "featurecircles.h"

#include <QColor>
#include <QPainter>
#include <QPen>
#include <QRectF>

#include <algorithm>

FeaturesWidget::FeaturesWidget(QWidget *parent)
    : VideoWidget(parent),
      featureRadius(18.0f)
{
}

FeaturesWidget::~FeaturesWidget() = default;

void FeaturesWidget::setFeatures(const QVector<Feature> &features)
{
    this->features = features;
    update();
}

void FeaturesWidget::clearFeatures()
{
    features = QVector<Feature>();
    update();
}

void FeaturesWidget::setFeatureScale(float scale)
{
    featureRadius = scale * 3.0f;
    update();
}

void FeaturesWidget::paintEvent(QPaintEvent *event)
{
    VideoWidget::paintEvent(event);

    // Feature positions mean nothing without a frame, and the pen rule
    // below divides by its sides.
    if (image.isNull())
        return;

    QPainter painter(this);
    QPen pen = painter.pen();
    pen.setColor(kFeatureColour);
    // The width is in image pixels and scales with the frame: the whole
    // zoom factor of the tighter direction, so outlines stay visible when
    // the frame is enlarged, and 0 (one device pixel) when it is shrunk.
    const int zoomY = viewport.height() / image.height();
    const int zoomX = viewport.width() / image.width();
    pen.setWidthF((qreal)std::min(zoomX, zoomY));
    painter.setPen(pen);

    painter.setViewport(viewport);
    painter.setWindow(0, 0, image.width(), image.height());
    // A feature at (x, y) sits on the centre of pixel (x, y).
    painter.translate(0.5, 0.5);

    drawFeatureCircles(painter, features, featureRadius);
}
