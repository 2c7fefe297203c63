#ifndef VIDEOWIDGET_H
#define VIDEOWIDGET_H

#include <QImage>
#include <QRect>
#include <QSize>
#include <QWidget>

class QPaintEvent;

// The rectangle of a widget of `widgetSize` in which a frame of `frameSize`
// is shown: aspect ratio kept, filling one direction, centred in the other
// with any odd leftover pixel below or to the right. An empty frame gets the
// whole widget.
QRect frameViewport(const QSize &widgetSize, const QSize &frameSize);

// Shows one frame fitted and centred. Painting sets the painter's window to
// the frame's pixel rectangle, so one logical unit is one image pixel;
// subclasses draw in that same mapping.
class VideoWidget : public QWidget
{
    Q_OBJECT

public:
    explicit VideoWidget(QWidget *parent = nullptr);
    ~VideoWidget() override;

public slots:
    void setVideoFrame(const QImage &frame);

protected:
    void paintEvent(QPaintEvent *event) override;

    QImage image;
    // Where the latest paint put the frame, in widget coordinates.
    QRect viewport;
};

#endif // VIDEOWIDGET_H
