#include "frameviewnavigator.h"

#include "videowidget.h"

#include <QEvent>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

const int kWheelNotch = 120;  // angleDelta of one wheel notch
const double kLevelsPerKey = 2.0;

// Where a zoomed frame of extent `zoomed` lies along one axis of an area of
// extent `area`: centred when it fits, otherwise with no gap at either end.
int placeAlong(double wanted, int zoomed, int area)
{
    if (zoomed <= area)
        return (area - zoomed) / 2;
    return (int)std::lround(std::min(0.0, std::max((double)(area - zoomed), wanted)));
}

// A scroll bar over `length` widget pixels more than the `page` shown.
void placeScrollBar(QScrollBar *bar, bool needed, const QRect &geometry, int length, int page, int value)
{
    bar->setVisible(needed);
    if (!needed)
        return;
    bar->setGeometry(geometry);
    bar->setRange(0, length);
    bar->setPageStep(page);
    bar->setSingleStep(std::max(1, page / 20));
    bar->setValue(value);
}

} // namespace

FrameViewNavigator::FrameViewNavigator(VideoWidget *view)
    : QObject(view),
      view(view),
      horizontal(new QScrollBar(Qt::Horizontal, view)),
      vertical(new QScrollBar(Qt::Vertical, view)),
      corner(new QWidget(view))
{
    // The square between two scroll bars, in the window's colour.
    corner->setAutoFillBackground(true);
    corner->setBackgroundRole(QPalette::Window);
    corner->hide();
    horizontal->setObjectName(QStringLiteral("frameHScrollBar"));
    vertical->setObjectName(QStringLiteral("frameVScrollBar"));
    horizontal->hide();
    vertical->hide();
    const auto scrolled = [this] {
        if (!placing)
            moveTo(QPoint(-horizontal->value(), -vertical->value()));
    };
    connect(horizontal, &QScrollBar::valueChanged, this, scrolled);
    connect(vertical, &QScrollBar::valueChanged, this, scrolled);
    view->installEventFilter(this);
}

void FrameViewNavigator::zoomIn()
{
    zoomBy(kLevelsPerKey, viewCentre());
}

void FrameViewNavigator::zoomOut()
{
    zoomBy(-kLevelsPerKey, viewCentre());
}

void FrameViewNavigator::fitToWindow()
{
    view->showFitted();
    placeScrollBars();
    updateCursor();
    emit viewChanged();
}

void FrameViewNavigator::showActualPixels()
{
    const double zoom = 1.0 / view->devicePixelRatioF();
    if (zoom == fittedScale()) {
        fitToWindow();
        return;
    }
    const QPointF centre = viewCentre();
    showAt(zoom, view->toFrame(centre), centre);
}

void FrameViewNavigator::centreOn(const QPointF &framePoint)
{
    if (view->isFitted() || view->frameSize().isEmpty())
        return;
    showAt(view->scale(), framePoint, viewCentre());
}

double FrameViewNavigator::fittedScale() const
{
    const QSize frame = view->frameSize();
    if (frame.isEmpty())
        return 1.0;
    return std::min((double)view->width() / frame.width(), (double)view->height() / frame.height());
}

QPointF FrameViewNavigator::viewCentre() const
{
    return QPointF(view->width() / 2.0, view->height() / 2.0);
}

void FrameViewNavigator::zoomBy(double levels, const QPointF &anchor)
{
    if (view->frameSize().isEmpty())
        return;
    const double fit = fittedScale();
    const double current = view->isFitted() ? fit : view->scale();
    const double level = 4.0 * std::log2(current);
    const double next = levels > 0 ? std::floor(level + 1e-6) + levels : std::ceil(level - 1e-6) + levels;
    const double zoom = std::min(std::max(std::exp2(next / 4.0), std::min(fit, 1.0)), std::max(kLargestZoom, fit));
    // The fitted view lies between the levels: a step onto it or across it
    // stops there.
    const bool crossesFit = (current < fit && zoom >= fit) || (current > fit && zoom <= fit);
    if (crossesFit || zoom == fit) {
        fitToWindow();
        return;
    }
    showAt(zoom, view->toFrame(anchor), anchor);
}

QSize FrameViewNavigator::areaFor(const QSize &zoomedFrame) const
{
    const int extent = view->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, horizontal);
    bool across = zoomedFrame.width() > view->width();
    bool down = zoomedFrame.height() > view->height();
    if (across && !down)
        down = zoomedFrame.height() > view->height() - extent;
    if (down && !across)
        across = zoomedFrame.width() > view->width() - extent;
    return QSize(view->width() - (down ? extent : 0), view->height() - (across ? extent : 0));
}

void FrameViewNavigator::showAt(double zoom, const QPointF &framePoint, const QPointF &anchor)
{
    const QSize frame = view->frameSize();
    const QSize zoomed((int)std::lround(frame.width() * zoom), (int)std::lround(frame.height() * zoom));
    const QSize area = areaFor(zoomed);
    const QPointF wanted = anchor - framePoint * zoom;
    view->showZoomed(zoom, QPoint(placeAlong(wanted.x(), zoomed.width(), area.width()),
                                  placeAlong(wanted.y(), zoomed.height(), area.height())));
    placeScrollBars();
    updateCursor();
    emit viewChanged();
}

void FrameViewNavigator::moveTo(const QPoint &origin)
{
    if (view->isFitted())
        return;
    const double zoom = view->scale();
    showAt(zoom, QPointF(0, 0), QPointF(origin));
}

void FrameViewNavigator::placeScrollBars()
{
    if (view->isFitted()) {
        horizontal->hide();
        vertical->hide();
        corner->hide();
        return;
    }
    const QSize frame = view->frameSize();
    const double zoom = view->scale();
    const QSize zoomed((int)std::lround(frame.width() * zoom), (int)std::lround(frame.height() * zoom));
    const QSize area = areaFor(zoomed);
    const int extent = view->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, horizontal);
    placing = true;
    placeScrollBar(horizontal, zoomed.width() > area.width(), QRect(0, area.height(), area.width(), extent),
                   zoomed.width() - area.width(), area.width(), -view->origin().x());
    placeScrollBar(vertical, zoomed.height() > area.height(), QRect(area.width(), 0, extent, area.height()),
                   zoomed.height() - area.height(), area.height(), -view->origin().y());
    corner->setGeometry(area.width(), area.height(), extent, extent);
    corner->setVisible(zoomed.width() > area.width() && zoomed.height() > area.height());
    placing = false;
}

void FrameViewNavigator::updateCursor()
{
    if (dragging)
        view->setCursor(Qt::ClosedHandCursor);
    else if (horizontal->isVisibleTo(view) || vertical->isVisibleTo(view))
        view->setCursor(Qt::OpenHandCursor);
    else
        view->unsetCursor();
}

bool FrameViewNavigator::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != view)
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Wheel: {
        auto *wheel = static_cast<QWheelEvent *>(event);
        wheelRest += wheel->angleDelta().y();
        const int notches = wheelRest / kWheelNotch;
        wheelRest -= notches * kWheelNotch;
        if (notches != 0)
            zoomBy(notches, wheel->position());
        return true;
    }
    case QEvent::MouseButtonPress: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton || view->isFitted())
            return false;
        dragging = true;
        dragStart = mouse->pos();
        originAtDragStart = view->origin();
        updateCursor();
        return true;
    }
    case QEvent::MouseMove: {
        if (!dragging)
            return false;
        moveTo(originAtDragStart + (static_cast<QMouseEvent *>(event)->pos() - dragStart));
        return true;
    }
    case QEvent::MouseButtonRelease:
        if (!dragging || static_cast<QMouseEvent *>(event)->button() != Qt::LeftButton)
            return false;
        dragging = false;
        updateCursor();
        return true;
    case QEvent::Resize:
        if (!view->isFitted()) {
            // The frame point that was at the centre stays there.
            const QSize before = static_cast<QResizeEvent *>(event)->oldSize();
            const QPointF framePoint = view->toFrame(QPointF(before.width() / 2.0, before.height() / 2.0));
            showAt(view->scale(), framePoint, viewCentre());
        } else {
            emit viewChanged();  // the fitted scale follows the size
        }
        return false;
    default:
        return false;
    }
}
