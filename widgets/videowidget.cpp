#include "videowidget.h"

#include <QColor>
#include <QPainter>

#include <cmath>

namespace {

// A zoomed frame's rectangle must fit QRect's int coordinates with room to
// spare, whatever zoom is asked for.
const double kLargestZoomedSide = 1 << 30;

} // namespace

QRect frameViewport(const QSize &widgetSize, const QSize &frameSize)
{
    const qint64 W = widgetSize.width();
    const qint64 H = widgetSize.height();
    const qint64 w = frameSize.width();
    const qint64 h = frameSize.height();

    // 64-bit products: a very tall or wide frame must not overflow the
    // comparison. Neither test holds for an empty frame, so no division by
    // a zero side can happen below.
    QRect viewport(0, 0, (int)W, (int)H);
    if (W * h < H * w) {
        viewport.setHeight((int)((W * h) / w));
        viewport.translate(0, (int)((H - viewport.height()) / 2));
    }
    if (H * w < W * h) {
        viewport.setWidth((int)((H * w) / h));
        viewport.translate((int)((W - viewport.width()) / 2), 0);
    }
    return viewport;
}

VideoWidget::VideoWidget(QWidget *parent)
    : QWidget(parent),
      image(1280, 720, QImage::Format_RGB888)
{
    image.fill(QColor(0, 0, 0, 255));
}

VideoWidget::~VideoWidget() = default;

void VideoWidget::setVideoFrame(const QImage &frame)
{
    image = frame;
    update();
}

void VideoWidget::showZoomed(double zoom, const QPoint &origin)
{
    const int side = qMax(qMax(image.width(), image.height()), 1);
    if (!(zoom > 0.0) || !std::isfinite(zoom)) {
        showFitted();
        return;
    }
    zoomFactor = qMin(zoom, kLargestZoomedSide / side);
    zoomOrigin = origin;
    update();
}

void VideoWidget::showFitted()
{
    zoomFactor = 0.0;
    zoomOrigin = QPoint();
    zoomedPart = QImage();
    update();
}

double VideoWidget::scale() const
{
    if (!isFitted())
        return zoomFactor;
    if (image.isNull())
        return 1.0;
    const QRect fitted = frameViewport(size(), image.size());
    return qMin((double)fitted.width() / image.width(), (double)fitted.height() / image.height());
}

QPointF VideoWidget::toWidget(const QPointF &framePoint) const
{
    if (!isFitted())
        return QPointF(zoomOrigin) + framePoint * zoomFactor;
    if (image.isNull())
        return framePoint;
    const QRect fitted = frameViewport(size(), image.size());
    return QPointF(fitted.left() + framePoint.x() * fitted.width() / image.width(),
                   fitted.top() + framePoint.y() * fitted.height() / image.height());
}

QPointF VideoWidget::toFrame(const QPointF &widgetPoint) const
{
    if (!isFitted())
        return (widgetPoint - QPointF(zoomOrigin)) / zoomFactor;
    const QRect fitted = frameViewport(size(), image.size());
    if (image.isNull() || fitted.width() <= 0 || fitted.height() <= 0)
        return widgetPoint;
    return QPointF((widgetPoint.x() - fitted.left()) * image.width() / fitted.width(),
                   (widgetPoint.y() - fitted.top()) * image.height() / fitted.height());
}

QRectF VideoWidget::visibleFrameRect() const
{
    const QRectF shown(toFrame(QPointF(0, 0)), toFrame(QPointF(width(), height())));
    return shown.intersected(QRectF(QPointF(0, 0), QSizeF(image.size())));
}

void VideoWidget::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    if (!isFitted()) {
        paintZoomed();
        return;
    }
    viewport = frameViewport(size(), image.size());

    // A degenerate window would make the window-to-viewport transform
    // divide by zero; an empty frame has nothing to show anyway.
    if (image.isNull())
        return;

    QPainter painter(this);
    painter.setViewport(viewport);
    painter.setWindow(0, 0, image.width(), image.height());
    painter.drawImage(painter.window(), image);
}

// Only the part of the frame inside the widget is scaled, once per view:
// a 100-megapixel frame costs what the widget's own pixels cost.
void VideoWidget::paintZoomed()
{
    viewport = QRect(zoomOrigin, QSize((int)std::lround(image.width() * zoomFactor),
                                       (int)std::lround(image.height() * zoomFactor)));
    const QRect area = viewport.intersected(rect());
    if (image.isNull() || area.isEmpty())
        return;

    const qreal ratio = devicePixelRatioF();
    if (zoomedPart.isNull() || zoomedPartArea != area || zoomedPartFrame != image.cacheKey()
        || zoomedPartZoom != zoomFactor || zoomedPartOrigin != zoomOrigin || zoomedPart.devicePixelRatioF() != ratio) {
        const bool alpha = image.hasAlphaChannel();
        zoomedPart = QImage(area.size() * ratio, alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
        if (zoomedPart.isNull())
            return;
        zoomedPart.setDevicePixelRatio(ratio);
        if (alpha)
            zoomedPart.fill(Qt::transparent);
        QPainter scaler(&zoomedPart);
        scaler.translate(zoomOrigin - area.topLeft());
        scaler.scale(zoomFactor, zoomFactor);
        // Whole frame pixels, so that the edge pixels are drawn whole.
        const QRectF shown = visibleFrameRect();
        const QRectF source = QRectF(QPointF(std::floor(shown.left()), std::floor(shown.top())),
                                     QPointF(std::ceil(shown.right()), std::ceil(shown.bottom())))
                                  .intersected(QRectF(QPointF(0, 0), QSizeF(image.size())));
        scaler.drawImage(source, image, source);
        zoomedPartArea = area;
        zoomedPartFrame = image.cacheKey();
        zoomedPartZoom = zoomFactor;
        zoomedPartOrigin = zoomOrigin;
    }
    QPainter painter(this);
    painter.drawImage(area.topLeft(), zoomedPart);
}
