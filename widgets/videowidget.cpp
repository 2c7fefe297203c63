#include "videowidget.h"

#include <QColor>
#include <QPainter>

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

void VideoWidget::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
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
