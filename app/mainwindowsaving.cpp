// The window's two save commands: the features of the run shown as the
// results table holds them, through the command line's writer, and the
// annotated picture, through its renderer.

#include "hessianmaximamainwin.h"

#include "annotation.h"
#include "detectionjob.h"
#include "featuretablemodel.h"
#include "featurewriter.h"
#include "frameplayer.h"
#include "runrequest.h"
#include "windowtools.h"
#include "ui_hessianmaximamainwin.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QMessageBox>
#include <QSaveFile>
#include <QtConcurrent>

namespace {

const char kCsvFilter[] = "CSV (*.csv)";
const char kJsonFilter[] = "JSON (*.json)";
const char kPngFilter[] = "PNG (*.png)";

void warnNotSaved(QWidget *window, const QString &caption, const QString &what, const QString &path,
                  const QString &reason)
{
    QMessageBox warning(QMessageBox::Warning, caption,
                        QStringLiteral("%1 could not be saved to %2.").arg(what, QFileInfo(path).fileName()),
                        QMessageBox::Ok, window);
    warning.setDetailedText(QStringLiteral("%1: %2").arg(path, reason));
    warning.exec();
}

} // namespace

// Asks where to save, next to the picture, under its name with `suffix`.
QString HessianMaximaMainWin::savePath(const QString &caption, const QString &suffix, const QString &filters,
                                       QString *chosenFilter)
{
    const QFileInfo picture(shownRun->fileName);
    const QString suggestion = picture.dir().filePath(picture.completeBaseName() + suffix);
    return QFileDialog::getSaveFileName(this, caption, suggestion, filters, chosenFilter);
}

void HessianMaximaMainWin::saveFeatures()
{
    if (!shownRun || shownResult.status != 0)
        return;
    const QString caption = QStringLiteral("Save Features");
    QString chosenFilter;
    QString path = savePath(caption, QStringLiteral(".csv"),
                            QStringLiteral("%1;;%2").arg(QLatin1String(kCsvFilter), QLatin1String(kJsonFilter)),
                            &chosenFilter);
    if (path.isEmpty())
        return;
    // The suffix says which; a name without one gets the chosen filter's.
    QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != QLatin1String("csv") && suffix != QLatin1String("json")) {
        suffix = chosenFilter == QLatin1String(kJsonFilter) ? QStringLiteral("json") : QStringLiteral("csv");
        path += QLatin1Char('.') + suffix;
    }

    // A sequence's every frame (a live one's frame shown, as a picture's).
    if (shownRun->frameIndex >= 0 && player->lastFrame() >= 0) {
        saveSequenceFeatures(path, suffix == QLatin1String("json"));
        return;
    }

    // What the results table holds, in its order.
    const PictureResult picture = tools->resultsModel->inTableOrder();

    // Written whole or not at all, as the command line's --output.
    QSaveFile file(path);
    FeatureTableWriter writer(&file, suffix == QLatin1String("json") ? TableFormat::Json : TableFormat::Csv,
                              true, false);
    if (!file.open(QIODevice::WriteOnly) || !writer.begin() || !writer.write(picture) || !writer.finish()
        || !file.commit()) {
        warnNotSaved(this, caption, QStringLiteral("The features"), path, file.errorString());
        return;
    }
    showNote(QStringLiteral("%1 features saved to %2").arg(picture.features.size()).arg(QFileInfo(path).fileName()));
}

void HessianMaximaMainWin::saveAnnotatedImage()
{
    if (!shownRun || shownResult.status != 0)
        return;
    const QString caption = QStringLiteral("Save Annotated Image");
    QString path = savePath(caption, QStringLiteral("-features.png"), QLatin1String(kPngFilter), nullptr);
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().toLower() != QLatin1String("png"))
        path += QStringLiteral(".png");

    // A large picture takes seconds to encode: that happens on a pool
    // thread, on copies, and the window hears of the outcome.
    auto *saving = new QFutureWatcher<QString>(this);
    connect(saving, &QFutureWatcherBase::finished, this, [this, saving, path, caption] {
        const QString error = saving->result();
        saving->deleteLater();
        if (error.isEmpty())
            showNote(QStringLiteral("Annotated picture saved to %1").arg(QFileInfo(path).fileName()));
        else
            warnNotSaved(this, caption, QStringLiteral("The annotated picture"), path, error);
    });
    // The circles as the view draws them (their radii, and their colours
    // when coloured by polarity).
    saving->setFuture(QtConcurrent::run(
        [path, frame = shownRun->frame, features = shownResult.features, look = ui->featuresWidget->circleLook()] {
            QString error;
            if (!saveAnnotatedPicture(path, frame, features, look, &error) && error.isEmpty())
                error = QStringLiteral("unknown error");
            return error;
        }));
    showNote(QStringLiteral("Saving the annotated picture to %1\u2026").arg(QFileInfo(path).fileName()));
}
