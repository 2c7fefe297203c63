#include "featurecountplot.h"

#include <QPainter>
#include <QPainterPath>
#include <QPalette>

#include <algorithm>

FeatureCountPlot::FeatureCountPlot(QWidget *parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void FeatureCountPlot::setCounts(const QMap<qint64, int> &counts, qint64 lastFrame)
{
    frameCounts = counts;
    last = lastFrame;
    update();
}

void FeatureCountPlot::setCurrentFrame(qint64 frame)
{
    if (current == frame)
        return;
    current = frame;
    update();
}

QSize FeatureCountPlot::sizeHint() const
{
    return QSize(200, 3 * fontMetrics().height());
}

void FeatureCountPlot::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect area = rect().adjusted(1, 1, -2, -2);
    painter.fillRect(rect(), palette().base());
    painter.setPen(palette().mid().color());
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    if (frameCounts.isEmpty() || area.width() < 2 || area.height() < 2)
        return;

    const qint64 first = last >= 0 ? 0 : frameCounts.firstKey();
    const qint64 end = last >= 0 ? std::max(last, frameCounts.lastKey()) : frameCounts.lastKey();
    const double span = std::max<qint64>(1, end - first);
    int most = 1;
    for (int count : frameCounts)
        most = std::max(most, count);
    const auto x = [&](qint64 frame) { return area.left() + (frame - first) / span * area.width(); };
    const auto y = [&](int count) { return area.bottom() - (double)count / most * (area.height() - 1); };

    // The frames seen, joined where they follow one another; a frame
    // alone is a short mark.
    QPainterPath line;
    qint64 previous = -2;
    for (auto it = frameCounts.constBegin(); it != frameCounts.constEnd(); ++it) {
        const QPointF point(x(it.key()), y(it.value()));
        if (it.key() == previous + 1) {
            line.lineTo(point);
        } else {
            line.moveTo(point - QPointF(0.5, 0.0));
            line.lineTo(point + QPointF(0.5, 0.0));
        }
        previous = it.key();
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().text().color(), 1.0));
    painter.drawPath(line);

    if (current >= first && current <= end) {
        painter.setPen(QPen(QColor(250, 10, 10), 1.0));
        painter.drawLine(QPointF(x(current), area.top()), QPointF(x(current), area.bottom()));
    }
    painter.setPen(palette().placeholderText().color());
    painter.drawText(area.adjusted(3, 0, -3, 0), Qt::AlignTop | Qt::AlignRight, QString::number(most));
}
