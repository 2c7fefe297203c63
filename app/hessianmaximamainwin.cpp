#include "hessianmaximamainwin.h"
#include "ui_hessianmaximamainwin.h"

#include "detectionjob.h"
#include "frameloading.h"
#include "runreport.h"

#include <QByteArray>
#include <QColor>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QString>
#include <QtConcurrent>

HessianMaximaMainWin::HessianMaximaMainWin(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::HessianMaximaMainWin),
      videoFrame(1280, 720, QImage::Format_RGB888),
      runTurns(std::make_shared<RunTurns>())
{
    ui->setupUi(this);
    videoFrame.fill(QColor(0, 0, 0, 255));
    connect(&detectWatcher, &QFutureWatcherBase::finished, this,
            &HessianMaximaMainWin::finishDetectHessianDetMax);
}

HessianMaximaMainWin::~HessianMaximaMainWin()
{
    // Runs still in flight hold nothing of the window (see
    // executeDetectHessianDetMax), and the watcher's destructor drops any
    // finished() not yet delivered, so there is nothing to wait for.
    delete ui;
}

void HessianMaximaMainWin::openVideoFrame()
{
    // Formats that are always refused (drawings, and pictures whose size
    // cannot be known before decoding) are not offered.
    QString patterns;
    for (const QByteArray &format : openableImageFormats())
        patterns += QStringLiteral(" *.") + QString::fromLatin1(format);
    const QString filter = QStringLiteral("Images (") + patterns + QStringLiteral(")");

    const QString fileName = QFileDialog::getOpenFileName(
        this, QStringLiteral("Open image file"), QStringLiteral("./"), filter);
    if (fileName.isNull())
        return;

    // Read as the command-line tool reads it: size claims checked before
    // decoding, shown upright, and brought once to the 32-bit layout the
    // detection job reads. Every refusal gets the same warning.
    QString error;
    QString damage;
    if (loadFrame(fileName, &videoFrame, &error, &damage)) {
        ui->startProcessingButton->setEnabled(true);
        ui->actionStartProcessing->setEnabled(true);
        ui->featuresWidget->setVideoFrame(videoFrame);
        ui->featuresWidget->clearFeatures();
        // A damaged file opens with what could be read, and says so until
        // the next message; a clean one takes back an earlier warning.
        if (!damage.isEmpty()) {
            damageReport = QStringLiteral("%1: damaged file (%2); the part that could be read is shown")
                               .arg(QFileInfo(fileName).fileName(), damage);
            ui->statusBar->showMessage(damageReport, 0);
        } else if (!damageReport.isEmpty() && ui->statusBar->currentMessage() == damageReport) {
            ui->statusBar->clearMessage();
        }
    } else {
        QMessageBox::warning(this, QStringLiteral("Invalid image file"),
                             QStringLiteral("Image isn't loaded.\nBad or unknown image format."),
                             QMessageBox::Ok);
        ui->startProcessingButton->setEnabled(false);
        ui->actionStartProcessing->setEnabled(false);
    }
}

void HessianMaximaMainWin::executeDetectHessianDetMax()
{
    ui->featuresWidget->clearFeatures();
    ui->featuresWidget->setFeatureScale((float)ui->hessianSigmaSBox->value());
    const double threshold = ui->maxThresholdSBox->value();
    const double sigma = ui->hessianSigmaSBox->value();

    // The task runs the same job as detectHessianDetMax but does not hold
    // the window: a run may outlive it when the window closes mid-run, and
    // the task then owns everything it touches (its frame copy, the two
    // numbers and a share of the turns). The doubles become floats when the
    // job is called.
    const quint64 run = runTurns->start();
    detectFuture = QtConcurrent::run(&runInTurn, runTurns, run, videoFrame, sigma, threshold);
    detectWatcher.setFuture(detectFuture);
}

void HessianMaximaMainWin::finishDetectHessianDetMax()
{
    // A task that ended by an exception leaves no result: report that as a
    // failure instead of rethrowing it into the event loop.
    const _HessianDetMaxResult result = detectWatcher.future().resultCount() > 0
        ? detectWatcher.result()
        : _HessianDetMaxResult{QVector<Feature>(), -1, 0.0f};
    ui->featuresWidget->setFeatures(result.features);
    ui->statusBar->showMessage(runReport(result), 0);
}
