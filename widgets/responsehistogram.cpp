#include "responsehistogram.h"

#include "featurecircles.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

const int kMargin = 3;
const int kBinWidth = 2;  // widget pixels per bar

} // namespace

ResponseHistogram::ResponseHistogram(QWidget *parent) : QWidget(parent)
{
    setToolTip(tr("How strong the candidate features are: a bar per range of responses, counted on a log "
                  "scale, red where the threshold keeps them.\nClick or drag to set the threshold."));
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ResponseHistogram::setResponses(const QVector<float> &ascending)
{
    responses = ascending;
    update();
}

void ResponseHistogram::setRange(double lowest, double highest)
{
    this->lowest = lowest;
    this->highest = std::max(highest, lowest + 1.0);
    update();
}

void ResponseHistogram::setThreshold(double threshold)
{
    this->threshold = threshold;
    update();
}

int ResponseHistogram::countAbove(double value) const
{
    return (int)(responses.end() - std::upper_bound(responses.begin(), responses.end(), value));
}

int ResponseHistogram::kept() const
{
    return countAbove(threshold);
}

QSize ResponseHistogram::sizeHint() const
{
    return QSize(170, 110);
}

QSize ResponseHistogram::minimumSizeHint() const
{
    return QSize(100, 2 * fontMetrics().height() + 40);
}

QRect ResponseHistogram::plotArea() const
{
    const int captions = 2 * fontMetrics().height();
    return QRect(kMargin, kMargin, std::max(1, width() - 2 * kMargin), std::max(1, height() - 2 * kMargin - captions));
}

int ResponseHistogram::columnOf(double response) const
{
    const QRect plot = plotArea();
    return plot.left() + (int)std::lround((response - lowest) / (highest - lowest) * plot.width());
}

double ResponseHistogram::thresholdAt(int x) const
{
    const QRect plot = plotArea();
    const double t = lowest + (x - plot.left() + 0.5) / plot.width() * (highest - lowest);
    return std::round(std::min(highest, std::max(lowest, t)));
}

QVector<int> ResponseHistogram::binCounts(int bins) const
{
    QVector<int> counts(bins);
    auto edge = [&](int i) {
        const double value = lowest + (highest - lowest) * i / bins;
        return std::lower_bound(responses.begin(), responses.end(), value);
    };
    auto start = edge(0);
    for (int i = 0; i < bins; ++i) {
        const auto end = edge(i + 1);
        counts[i] = (int)(end - start);
        start = end;
    }
    return counts;
}

void ResponseHistogram::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    const QRect plot = plotArea();
    painter.setPen(palette().mid().color());
    painter.drawRect(plot.adjusted(-1, -1, 0, 0));

    const QFontMetrics metrics = fontMetrics();
    const int line = metrics.height();
    const QRect captions(kMargin, plot.bottom() + 1, plot.width(), 2 * line);
    if (responses.isEmpty()) {
        painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
        painter.drawText(plot, Qt::AlignCenter | Qt::TextWordWrap, tr("Responses appear after a run"));
        return;
    }

    // Counts on a log axis: 1 is a sliver, the largest bin the full height.
    const int bins = std::max(1, plot.width() / kBinWidth);
    const QVector<int> counts = binCounts(bins);
    const int largest = std::max(1, *std::max_element(counts.begin(), counts.end()));
    const double top = std::log10(1.0 + largest);
    const auto heightOf = [&](double count) { return (int)std::lround(std::log10(1.0 + count) / top * plot.height()); };
    painter.setPen(palette().midlight().color());
    for (double decade = 10.0; decade <= largest; decade *= 10.0)
        painter.drawLine(plot.left(), plot.bottom() - heightOf(decade), plot.right(), plot.bottom() - heightOf(decade));
    const QColor keptColour = kFeatureColour;
    const QColor droppedColour = palette().color(QPalette::Dark);
    for (int i = 0; i < bins; ++i) {
        if (counts[i] == 0)
            continue;
        const double binStart = lowest + (highest - lowest) * i / bins;
        const int left = plot.left() + (int)((qint64)plot.width() * i / bins);
        const int right = plot.left() + (int)((qint64)plot.width() * (i + 1) / bins);
        const int h = std::max(1, heightOf(counts[i]));
        painter.fillRect(QRect(left, plot.bottom() + 1 - h, std::max(1, right - left), h),
                         binStart >= threshold ? keptColour : droppedColour);
    }
    const int at = std::min(plot.right(), std::max(plot.left(), columnOf(threshold)));
    painter.setPen(palette().color(QPalette::Text));
    painter.drawLine(at, plot.top(), at, plot.bottom());

    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(QRect(captions.left(), captions.top(), captions.width(), line), Qt::AlignLeft,
                     QString::number(lowest));
    // Responses beyond the range have no bar: their number goes with its end.
    const int beyond = countAbove(highest);
    painter.drawText(QRect(captions.left(), captions.top(), captions.width(), line), Qt::AlignRight,
                     beyond > 0 ? tr("%1 above %2").arg(beyond).arg(highest) : QString::number(highest));
    const QString caption = tr("keeps %1 of %2").arg(kept()).arg(responses.size());
    painter.drawText(QRect(captions.left(), captions.top() + line, captions.width(), line),
                     Qt::AlignLeft | Qt::TextSingleLine, metrics.elidedText(caption, Qt::ElideRight, captions.width()));
}

void ResponseHistogram::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    emit thresholdPicked(thresholdAt(event->pos().x()));
}

void ResponseHistogram::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return QWidget::mouseMoveEvent(event);
    emit thresholdPicked(thresholdAt(event->pos().x()));
}
