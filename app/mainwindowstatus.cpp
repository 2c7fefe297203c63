// The window's status bar: the line it comes back to (a run's report, a
// damaged file, a file that could not be opened), passing notes over it,
// the picture's warning beside it until the picture or its stretch
// changes, the picture's name, size and zoom, and the pixel under the
// pointer.

#include "hessianmaximamainwin.h"
#include "ui_hessianmaximamainwin.h"

#include "frameloading.h"
#include "frameviewnavigator.h"
#include "pixelarithmetic.h"
#include "windowtools.h"

#include <QApplication>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QToolButton>

#include <algorithm>
#include <cmath>

namespace {

// A sample as a person reads it: whole numbers whole, others to six
// significant digits.
QString sampleText(double value)
{
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15)
        return QString::number((qint64)value);
    return QString::number(value, 'g', 6);
}

} // namespace

void HessianMaximaMainWin::setStandingLine(const QString &line)
{
    standingLine = line;
    noteShown = false;
    tipShown = false;
    if (line.isEmpty())
        ui->statusBar->clearMessage();
    else
        ui->statusBar->showMessage(line, 0);
}

void HessianMaximaMainWin::showNote(const QString &note)
{
    noteShown = false;
    tipShown = false;
    ui->statusBar->showMessage(note, 5000);
    noteShown = true;
}

// Menu items carry no status tips, and hovering one sends an empty tip,
// which would wipe the line: the line stays. A tip that some item does
// carry shows while it is hovered.
bool HessianMaximaMainWin::takeStatusTip(QStatusTipEvent *event)
{
    if (!event->tip().isEmpty()) {
        noteShown = false;
        tipShown = true;
        ui->statusBar->showMessage(event->tip());
    } else if (tipShown) {
        tipShown = false;
        if (standingLine.isEmpty())
            ui->statusBar->clearMessage();
        else
            ui->statusBar->showMessage(standingLine, 0);
    }
    return true;
}

void HessianMaximaMainWin::showPictureWarning(const StretchNotice &notice, const QString &damage)
{
    const QString name = QFileInfo(pictureFileName).fileName();
    QStringList lines, labels;
    if (!damage.isEmpty()) {
        lines << QStringLiteral("%1 is damaged (%2); the part that could be read is shown").arg(name, damage);
        labels << QStringLiteral("Damaged file");
    }
    if (notice.narrow) {
        lines << QStringLiteral("%1 uses only levels %2 to %3 of 0..255; Stretch Intensities spreads them")
                     .arg(name).arg(notice.lowest).arg(notice.highest);
        labels << QStringLiteral("Levels %1\u2013%2 only").arg(notice.lowest).arg(notice.highest);
    } else if (!notice.text.isEmpty()) {
        lines << QStringLiteral("%1 %2").arg(name, notice.text);
        labels << QStringLiteral("Flat picture");
    }
    if (lines.isEmpty()) {
        clearPictureWarning();
        return;
    }
    pictureWarning = lines.join(QLatin1Char('\n'));
    tools->warningButton->setText(labels.join(QStringLiteral(", ")));
    tools->warningButton->setToolTip(pictureWarning);
    tools->warningButton->show();
    fitPictureInfo();
}

void HessianMaximaMainWin::clearPictureWarning()
{
    pictureWarning.clear();
    tools->warningButton->hide();
    tools->warningButton->setToolTip(QString());
    fitPictureInfo();
}

void HessianMaximaMainWin::showZoom()
{
    if (pictureSummary.isEmpty())
        return;
    const double zoom = ui->featuresWidget->scale() * 100.0;
    pictureZoom = QStringLiteral("%1%2%").arg(ui->featuresWidget->isFitted() ? QStringLiteral("fitted ") : QString())
                      .arg(zoom, 0, 'f', zoom < 10 ? 1 : 0);
    fitPictureInfo();
}

// Where QStatusBar draws its message from the left.
constexpr int kStatusMessageLeft = 6;

// The picture's line shares the status bar with the standing line, which
// comes first: as much of the line as fits, the zoom last to go, then the
// size and format, the file name (shortened in the middle) first.
void HessianMaximaMainWin::fitPictureInfo()
{
    if (pictureSummary.isEmpty())
        return;
    const QFontMetrics metrics(tools->pictureInfoLabel->font());
    const int gap = 2 * metrics.averageCharWidth();
    int room = ui->statusBar->width() - metrics.horizontalAdvance(ui->statusBar->currentMessage()) - 3 * gap;
    for (QWidget *other : {(QWidget *)tools->runProgressBar, (QWidget *)tools->stopButton,
                           (QWidget *)tools->circleCountLabel, (QWidget *)tools->warningButton,
                           (QWidget *)tools->playbackRateLabel})
        if (other->isVisibleTo(ui->statusBar))
            room -= other->sizeHint().width() + gap;
    const QString rest = QStringLiteral("  %1  %2").arg(pictureSummary, pictureZoom);
    const QString name = QFileInfo(pictureFileName).fileName();
    const auto lineFor = [&](int room) {
        const int nameRoom = room - metrics.horizontalAdvance(rest);
        if (nameRoom >= std::min(metrics.horizontalAdvance(name), 8 * metrics.averageCharWidth()))
            return metrics.elidedText(name, Qt::ElideMiddle, nameRoom) + rest;
        if (metrics.horizontalAdvance(rest) <= room)
            return rest.trimmed();
        if (metrics.horizontalAdvance(pictureZoom) <= room)
            return pictureZoom;
        return QString();
    };
    tools->pictureInfoLabel->setText(lineFor(room));
    // The estimate leaves out the status bar's own spacing and margins:
    // once laid out, the standing line must still end left of the first
    // widget beside it, or the picture's line gives up what it lacks.
    if (!ui->statusBar->isVisible() || !ui->statusBar->layout())
        return;
    ui->statusBar->layout()->activate();
    int firstLeft = ui->statusBar->width();
    for (QWidget *beside : ui->statusBar->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
        if (beside->isVisible() && beside->width() > 0 && beside->x() > 0)
            firstLeft = std::min(firstLeft, beside->x());
    const QFontMetrics messageMetrics(ui->statusBar->font());
    const int lacking = kStatusMessageLeft + messageMetrics.horizontalAdvance(ui->statusBar->currentMessage()) + gap
                        - firstLeft;
    if (lacking > 0)
        tools->pictureInfoLabel->setText(lineFor(room - lacking));
}

// The pointer over the picture: the pixel under it in the status bar, and
// a click (a press and release without a drag between) on a circle selects
// its row in the results.
bool HessianMaximaMainWin::trackPointer(QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseMove:
        showPixelInfo(static_cast<QMouseEvent *>(event)->pos());
        break;
    case QEvent::Leave:
        showPixelInfo(QPoint(-1, -1));
        break;
    case QEvent::MouseButtonPress: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton)
            pressPosition = mouse->pos();
        break;
    }
    case QEvent::MouseButtonRelease: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton
            && (mouse->pos() - pressPosition).manhattanLength() < QApplication::startDragDistance())
            selectFeatureRow(ui->featuresWidget->featureAt(mouse->pos()));
        break;
    }
    default:
        break;
    }
    return false;
}

// Its position, its value as stored (each channel of a colour pixel; the
// sample for a picture deeper than 8 bits) and the level the detector sees
// there, 0..255. Outside the picture, the picture's own line again.
void HessianMaximaMainWin::showPixelInfo(const QPoint &widgetPoint)
{
    const QPointF point = ui->featuresWidget->toFrame(QPointF(widgetPoint) + QPointF(0.5, 0.5));
    const int x = (int)std::floor(point.x());
    const int y = (int)std::floor(point.y());
    const bool inside = picture && widgetPoint.x() >= 0 && videoFrame.valid(x, y);
    if (!inside) {
        tools->pixelInfoLabel->hide();
        tools->pictureInfoLabel->show();
        return;
    }
    QString stored;
    double samples[3];
    const int count = picture->samples ? storedSamplesAt(*picture->samples, x, y, samples) : 0;
    if (count > 0) {
        QStringList values;
        for (int c = 0; c < count; ++c)
            values << sampleText(samples[c]);
        stored = values.join(QStringLiteral(", "));
    } else {
        const QImage &asRead = picture->qtFrame.isNull() ? videoFrame : picture->qtFrame;
        if (asRead.format() == QImage::Format_Grayscale8) {
            stored = QString::number(asRead.constScanLine(y)[x]);
        } else {
            const QRgb pixel = asRead.pixel(x, y);
            stored = QStringLiteral("%1, %2, %3").arg(qRed(pixel)).arg(qGreen(pixel)).arg(qBlue(pixel));
        }
    }
    const int level = videoFrame.format() == QImage::Format_Grayscale8 ? videoFrame.constScanLine(y)[x]
                                                                       : greyLevel(videoFrame.pixel(x, y));
    tools->pixelInfoLabel->setText(
        QStringLiteral("x %1, y %2   value %3   level %4").arg(x).arg(y).arg(stored).arg(level));
    tools->pictureInfoLabel->hide();
    tools->pixelInfoLabel->show();
}
