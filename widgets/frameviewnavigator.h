#ifndef FRAMEVIEWNAVIGATOR_H
#define FRAMEVIEWNAVIGATOR_H

#include <QObject>
#include <QPoint>
#include <QPointF>

class QEvent;
class QScrollBar;
class QWidget;
class VideoWidget;

// Zoom and pan for a frame view: the wheel zooms about the cursor, a drag
// pans, scroll bars appear when the zoomed frame is larger than the view,
// and the slots below serve the menu's commands. The view starts fitted and
// stays fitted through resizes until zoomed; a zoomed view keeps its zoom
// and the frame point at its centre when resized.
//
// Zoom levels are powers of 2^(1/4) (so 1, 2, 4, ... are among them), from
// the smaller of the fitted scale and 1 up to 32 widget pixels per frame
// pixel. A wheel notch moves one level, a key two. A step that reaches or
// crosses the fitted scale shows the fitted view.
class FrameViewNavigator : public QObject
{
    Q_OBJECT

public:
    // Watches `view` and puts its scroll bars on it; owned by the view.
    explicit FrameViewNavigator(VideoWidget *view);

    static constexpr double kLargestZoom = 32.0;

public slots:
    void zoomIn();
    void zoomOut();
    void fitToWindow();
    // One frame pixel per screen pixel.
    void showActualPixels();
    // A zoomed view keeps its zoom and brings the frame point to its middle
    // (as near as the frame's edges let it); the fitted view shows every
    // point already and stays as it is.
    void centreOn(const QPointF &framePoint);

signals:
    // The zoom or the position changed.
    void viewChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Zooms by `levels` (quarter powers of two) keeping the frame point
    // under `anchor` (widget coordinates) in place.
    void zoomBy(double levels, const QPointF &anchor);
    // Shows the frame at `zoom` with the frame point `framePoint` at
    // `anchor`, kept within the view, or fitted.
    void showAt(double zoom, const QPointF &framePoint, const QPointF &anchor);
    void moveTo(const QPoint &origin);
    double fittedScale() const;
    QPointF viewCentre() const;
    // The view less the scroll bars shown for a frame of that zoomed size.
    QSize areaFor(const QSize &zoomedFrame) const;
    void placeScrollBars();
    void updateCursor();

    VideoWidget *view;
    QScrollBar *horizontal;
    QScrollBar *vertical;
    QWidget *corner;
    bool dragging = false;
    QPoint dragStart;
    QPoint originAtDragStart;
    int wheelRest = 0;  // wheel movement short of a notch
    bool placing = false;
};

#endif // FRAMEVIEWNAVIGATOR_H
