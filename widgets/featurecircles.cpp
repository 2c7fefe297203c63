#include "featurecircles.h"

#include "scalespace.h"

#include <QPainter>
#include <QPen>
#include <QPolygonF>
#include <QRectF>
#include <QTransform>

#include <algorithm>
#include <cmath>

namespace {

// The integral rectangle whose one-pixel ellipse Qt centres nearest to
// `centre` with a diameter near 2 r. Qt's outline of a whole-pixel
// rectangle (left, width d) covers pixels left .. left + d, so its centre is
// left + (d + 1) / 2: d takes the parity that puts that on `centre`.
void snapCircle(double centre, double r, double *left, double *diameter)
{
    const long twice = std::lround(2.0 * centre);
    long d = std::lround(2.0 * r);
    if ((twice - 1 - d) % 2 != 0)
        d += 2.0 * r > (double)d ? 1 : -1;
    while (d < 2)
        d += 2;
    *left = (double)((twice - 1 - d) / 2);
    *diameter = (double)d;
}

// Switches the painter's pen between the two colours of a look, only when
// the colour changes (setting a pen costs more than drawing a small circle).
class CirclePens
{
public:
    CirclePens(QPainter &painter, const FeatureCircleLook &look, int count)
        : painter(painter), polarities(look.polarities.size() == count ? look.polarities.constData() : nullptr),
          pen(painter.pen()), brightColour(pen.color())
    {
    }
    void use(int i)
    {
        if (!polarities)
            return;
        const bool dark = polarities[i] == FEATURE_DARK;
        if (dark == darkNow)
            return;
        darkNow = dark;
        pen.setColor(dark ? kDarkFeatureColour : brightColour);
        painter.setPen(pen);
    }

private:
    QPainter &painter;
    const int8_t *polarities;
    QPen pen;
    const QColor brightColour;
    bool darkNow = false;
};

double radiusOf(const FeatureCircleLook &look, int count, int i)
{
    return look.radii.size() == count ? (double)look.radii[i] : look.radius;
}

} // namespace

QVector<float> featureCircleRadii(const QVector<FeatureMeasure> &measures, bool scaleRange)
{
    QVector<float> radii(measures.size());
    for (int i = 0; i < measures.size(); ++i)
        radii[i] = scaleRange ? (float)(kBlobRadiusPerSigma * (double)measures[i].sigma) : measures[i].sigma * 3.0f;
    return radii;
}

QVector<int8_t> featurePolarities(const QVector<FeatureMeasure> &measures)
{
    QVector<int8_t> polarities(measures.size());
    for (int i = 0; i < measures.size(); ++i)
        polarities[i] = measures[i].polarity;
    return polarities;
}

FeatureCircleLook featureCircleLook(const QVector<FeatureMeasure> &measures, bool scaleRange, bool byPolarity)
{
    FeatureCircleLook look;
    look.radii = featureCircleRadii(measures, scaleRange);
    if (byPolarity)
        look.polarities = featurePolarities(measures);
    return look;
}

void drawFeatureCircles(QPainter &painter, const QVector<Feature> &features, const FeatureCircleLook &look,
                        int first, int last)
{
    if (last < 0 || last > features.size())
        last = features.size();
    const int count = features.size();
    CirclePens pens(painter, look, count);
    for (int i = first; i < last; ++i) {
        const double r = radiusOf(look, count, i);
        const double x = features[i].x;
        const double y = features[i].y;
        pens.use(i);
        painter.drawEllipse(QRectF(x - r, y - r, 2.0 * r, 2.0 * r));
    }
}

int zoomedOutlineWidth(double zoom)
{
    return zoom < 4.0 ? 1 : zoom < 8.0 ? 2 : 3;
}

void drawZoomedFeatureCircles(QPainter &painter, const QVector<Feature> &features, const FeatureCircleLook &look,
                              double zoom, const QPointF &origin, int first, int last, const QRectF &clip)
{
    const int width = zoomedOutlineWidth(zoom);
    QPen pen(kFeatureColour);
    pen.setWidth(width);
    pen.setCosmetic(true);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const int count = features.size();
    CirclePens pens(painter, look, count);
    for (int i = first; i < last; ++i) {
        const double r = radiusOf(look, count, i) * zoom;
        const double cx = origin.x() + (features[i].x + 0.5) * zoom;
        const double cy = origin.y() + (features[i].y + 0.5) * zoom;
        const double reach = r + width + 2.0;
        if (cx + reach < clip.left() || cx - reach > clip.right() || cy + reach < clip.top()
            || cy - reach > clip.bottom())
            continue;
        pens.use(i);
        if (width == 1) {
            double left, top, across, down;
            snapCircle(cx, r, &left, &across);
            snapCircle(cy, r, &top, &down);
            painter.drawEllipse(QRectF(left, top, across, down));
        } else {
            painter.drawEllipse(QRectF(cx - r, cy - r, 2.0 * r, 2.0 * r));
        }
    }
}

bool inRowOrder(const QVector<Feature> &features)
{
    return std::is_sorted(features.begin(), features.end(),
                          [](const Feature &a, const Feature &b) { return a.y < b.y; });
}

FeatureSpan featureRows(const QVector<Feature> &features, bool rowOrdered, double top, double bottom)
{
    if (!rowOrdered)
        return FeatureSpan{0, features.size()};
    const auto begin = std::lower_bound(features.begin(), features.end(), top,
                                        [](const Feature &f, double row) { return f.y < row; });
    const auto end = std::upper_bound(begin, features.end(), bottom,
                                      [](double row, const Feature &f) { return row < f.y; });
    return FeatureSpan{(int)(begin - features.begin()), (int)(end - features.begin())};
}

void drawFeatureTails(QPainter &painter, const QVector<QPolygonF> &tails, const QTransform &toDevice, double width)
{
    painter.save();
    painter.resetTransform();
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(kTrackTailColour);
    pen.setWidthF(width);
    pen.setCosmetic(true);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    // A feature at (x, y) sits on the centre of pixel (x, y).
    const QTransform centred = QTransform::fromTranslate(0.5, 0.5) * toDevice;
    for (const QPolygonF &tail : tails)
        if (tail.size() >= 2)
            painter.drawPolyline(centred.map(tail));
    painter.restore();
}
