#ifndef VIDEOWIDGET_H
#define VIDEOWIDGET_H

#include <QImage>
#include <QPoint>
#include <QPointF>
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
//
// Besides the fitted view, the widget can show the frame zoomed: at a given
// number of widget pixels per frame pixel, its top-left corner at a given
// point. What moves the view (wheel, drag, keys, scroll bars) lives outside
// the widget (FrameViewNavigator); the widget only paints what it is told.
class VideoWidget : public QWidget
{
    Q_OBJECT

public:
    explicit VideoWidget(QWidget *parent = nullptr);
    ~VideoWidget() override;

    // The zoomed view: `zoom` widget pixels per frame pixel, the frame's
    // top-left corner at `origin` in widget coordinates.
    void showZoomed(double zoom, const QPoint &origin);
    // The fitted view, the widget's own.
    void showFitted();
    bool isFitted() const { return zoomFactor == 0.0; }
    // Widget pixels per frame pixel: the zoom, or, fitted, the frame's scale
    // in its tighter direction.
    double scale() const;
    QPoint origin() const { return zoomOrigin; }
    QSize frameSize() const { return image.size(); }
    const QImage &frame() const { return image; }
    // Where a point of the frame (pixel (i, j) covers i..i+1, j..j+1) lands
    // in the widget as the view paints it, and back.
    QPointF toWidget(const QPointF &framePoint) const;
    QPointF toFrame(const QPointF &widgetPoint) const;

public slots:
    void setVideoFrame(const QImage &frame);

protected:
    void paintEvent(QPaintEvent *event) override;

    // The part of the frame a zoomed view shows, in frame coordinates.
    QRectF visibleFrameRect() const;

    QImage image;
    // Where the latest paint put the frame, in widget coordinates.
    QRect viewport;

private:
    void paintZoomed();

    double zoomFactor = 0.0;  // 0: fitted
    QPoint zoomOrigin;
    // The visible part of the zoomed frame, scaled once and then reused
    // until the frame, the zoom, the origin or the size changes.
    QImage zoomedPart;
    QRect zoomedPartArea;
    qint64 zoomedPartFrame = 0;
    double zoomedPartZoom = 0.0;
    QPoint zoomedPartOrigin;
};

#endif // VIDEOWIDGET_H
