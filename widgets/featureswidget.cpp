#include "featureswidget.h"

#include "featurecircles.h"

#include <QColor>
#include <QElapsedTimer>
#include <QPainter>
#include <QPen>
#include <QRectF>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// A slice of many circles takes about this long, then the events waiting
// are handled before the next one.
const int kSliceMsec = 25;
// Hovering finds circles at least this many widget pixels across.
const double kSmallestTarget = 4.0;

} // namespace

bool FeaturesWidget::LayerKey::operator==(const LayerKey &other) const
{
    return list == other.list && fitted == other.fitted && scale == other.scale && origin == other.origin
           && size == other.size && frame == other.frame;
}

FeaturesWidget::FeaturesWidget(QWidget *parent)
    : VideoWidget(parent),
      featureRadius(18.0f)
{
    nextSlice.setSingleShot(true);
    nextSlice.setInterval(0);
    connect(&nextSlice, &QTimer::timeout, this, [this] { update(); });
}

FeaturesWidget::~FeaturesWidget() = default;

void FeaturesWidget::setFeatures(const QVector<Feature> &features)
{
    this->features = features;
    tails.clear();
    highlighted = -1;
    featuresChanged();
    update();
}

void FeaturesWidget::clearFeatures()
{
    features = QVector<Feature>();
    tails.clear();
    highlighted = -1;
    featuresChanged();
    update();
}

void FeaturesWidget::setFeatureScale(float scale)
{
    featureRadius = scale * 3.0f;
    featuresChanged();
    update();
}

void FeaturesWidget::setFeatureRadii(const QVector<float> &radii)
{
    featureRadii = radii;
    featuresChanged();
    update();
}

void FeaturesWidget::setFeaturePolarities(const QVector<int8_t> &polarities)
{
    this->polarities = polarities;
    featuresChanged();
    update();
}

void FeaturesWidget::setFeatureTails(const QVector<QPolygonF> &tails)
{
    this->tails = tails;
    update();
}

void FeaturesWidget::setColourByPolarity(bool on)
{
    if (byPolarity == on)
        return;
    byPolarity = on;
    featuresChanged();
    update();
}

void FeaturesWidget::setFeaturesShown(bool shown)
{
    if (circlesShown == shown)
        return;
    circlesShown = shown;
    featuresChanged();
    update();
}

void FeaturesWidget::setHighlightedFeature(int index)
{
    const int valid = index >= 0 && index < features.size() ? index : -1;
    if (valid == highlighted)
        return;
    highlighted = valid;
    update();
}

FeatureCircleLook FeaturesWidget::circleLook() const
{
    FeatureCircleLook look;
    look.radius = featureRadius;
    look.radii = featureRadii;
    if (byPolarity)
        look.polarities = polarities;
    return look;
}

void FeaturesWidget::featuresChanged()
{
    ++listGeneration;
    rowOrderKnown = false;
}

double FeaturesWidget::largestRadius() const
{
    if (featureRadii.size() != features.size())
        return featureRadius;
    double largest = 0.0;
    for (float r : featureRadii)
        largest = std::max(largest, (double)r);
    return largest;
}

bool FeaturesWidget::listInRowOrder() const
{
    if (!rowOrderKnown) {
        rowOrdered = inRowOrder(features);
        rowOrderKnown = true;
    }
    return rowOrdered;
}

FeatureSpan FeaturesWidget::featuresInView() const
{
    if (isFitted())
        return FeatureSpan{0, features.size()};
    // Pixel (x, y) has its centre at row y + 0.5.
    const QRectF shown = visibleFrameRect();
    const double reach = largestRadius() + 1.0 + zoomedOutlineWidth(scale()) / scale();
    return featureRows(features, listInRowOrder(), shown.top() - 0.5 - reach, shown.bottom() - 0.5 + reach);
}

int FeaturesWidget::featureAt(const QPointF &widgetPoint) const
{
    if (image.isNull() || features.isEmpty() || !circlesShown)
        return -1;
    const QPointF point = toFrame(widgetPoint) - QPointF(0.5, 0.5);
    const double smallest = kSmallestTarget / 2.0 / scale();
    const double reach = std::max(largestRadius(), smallest);
    const FeatureSpan span = featureRows(features, listInRowOrder(), point.y() - reach, point.y() + reach);
    const bool own = featureRadii.size() == features.size();
    int nearest = -1;
    double nearestDistance = std::numeric_limits<double>::infinity();
    for (int i = span.first; i < span.last; ++i) {
        const double distance = std::hypot(features[i].x - point.x(), features[i].y - point.y());
        const double r = std::max(own ? (double)featureRadii[i] : (double)featureRadius, smallest);
        if (distance <= r && distance < nearestDistance) {
            nearest = i;
            nearestDistance = distance;
        }
    }
    return nearest;
}

bool FeaturesWidget::drawingCircles() const
{
    return layerNext < layerEnd && layerKey == currentLayerKey();
}

void FeaturesWidget::paintEvent(QPaintEvent *event)
{
    VideoWidget::paintEvent(event);

    // Feature positions mean nothing without a frame, and the pen rule
    // below divides by its sides.
    if (image.isNull() || !circlesShown)
        return;

    if (!tails.isEmpty()) {
        // Picture coordinates to the widget's, as toWidget maps them.
        const QPointF zero = toWidget(QPointF(0, 0));
        const QPointF one = toWidget(QPointF(1, 1));
        QPainter painter(this);
        drawFeatureTails(painter, tails,
                         QTransform(one.x() - zero.x(), 0, 0, one.y() - zero.y(), zero.x(), zero.y()),
                         std::max(2.0, (double)zoomedOutlineWidth(scale())));
    }

    const FeatureSpan span = featuresInView();
    if (span.last - span.first > kCirclesAtOnce) {
        paintManyCircles(span);
        return;
    }
    circleLayer = QImage();
    layerNext = layerEnd = 0;
    QPainter painter(this);
    drawCircles(painter, span.first, span.last);
    drawHighlight(painter);
}

// Over the others, three screen pixels wide at any zoom, so that it stands
// out among many.
void FeaturesWidget::drawHighlight(QPainter &painter)
{
    if (highlighted < 0 || highlighted >= features.size())
        return;
    const Feature &feature = features[highlighted];
    const double r = (featureRadii.size() == features.size() ? (double)featureRadii[highlighted] : featureRadius)
                     * scale();
    const QPointF centre = toWidget(QPointF(feature.x + 0.5, feature.y + 0.5));
    painter.save();
    painter.resetTransform();
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(kHighlightColour);
    pen.setWidth(3);
    pen.setCosmetic(true);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(centre, std::max(r, 3.0), std::max(r, 3.0));
    painter.restore();
}

void FeaturesWidget::drawCircles(QPainter &painter, int first, int last)
{
    if (!isFitted()) {
        drawZoomedFeatureCircles(painter, features, circleLook(), scale(), QPointF(origin()), first, last,
                                 QRectF(rect()));
        return;
    }
    painter.save();
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

    drawFeatureCircles(painter, features, circleLook(), first, last);
    painter.restore();
}

FeaturesWidget::LayerKey FeaturesWidget::currentLayerKey() const
{
    return LayerKey{listGeneration, isFitted(), scale(), origin(), size(), image.cacheKey()};
}

// The circles go into a layer of the widget's size, as many per paint as
// fit in a slice; each paint shows the layer as far as it has come. The
// pixels are those of drawing them all at once.
void FeaturesWidget::paintManyCircles(const FeatureSpan &span)
{
    const LayerKey key = currentLayerKey();
    const qreal ratio = devicePixelRatioF();
    if (!(layerKey == key) || circleLayer.isNull()) {
        circleLayer = QImage(size() * ratio, QImage::Format_ARGB32_Premultiplied);
        if (circleLayer.isNull())
            return;
        circleLayer.setDevicePixelRatio(ratio);
        circleLayer.fill(Qt::transparent);
        layerKey = key;
        layerNext = span.first;
        layerEnd = span.last;
    }
    if (layerNext < layerEnd) {
        QPainter layer(&circleLayer);
        QElapsedTimer slice;
        slice.start();
        while (layerNext < layerEnd && slice.elapsed() < kSliceMsec) {
            const int end = std::min(layerNext + 1024, layerEnd);
            drawCircles(layer, layerNext, end);
            layerNext = end;
        }
        if (layerNext < layerEnd)
            nextSlice.start();
    }
    QPainter painter(this);
    painter.drawImage(0, 0, circleLayer);
    drawHighlight(painter);
}
