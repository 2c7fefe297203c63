#include "hessianmaximamainwin.h"
#include "ui_hessianmaximamainwin.h"

#include "detectionjob.h"
#include "frameloading.h"
#include "runreport.h"

#include <QByteArray>
#include <QColor>
#include <QFileDialog>
#include <QImageReader>
#include <QMessageBox>
#include <QString>
#include <QtConcurrent>

HessianMaximaMainWin::HessianMaximaMainWin(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::HessianMaximaMainWin),
      videoFrame(1280, 720, QImage::Format_RGB888)
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
    QString patterns;
    for (const QByteArray &format : QImageReader::supportedImageFormats())
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
    if (loadFrame(fileName, &videoFrame, &error)) {
        ui->startProcessingButton->setEnabled(true);
        ui->actionStartProcessing->setEnabled(true);
        ui->featuresWidget->setVideoFrame(videoFrame);
        ui->featuresWidget->clearFeatures();
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
    // the task then owns everything it touches (its frame copy and the two
    // numbers). The doubles become floats when the job is called.
    detectFuture = QtConcurrent::run([frame = videoFrame, sigma, threshold] {
        return runDetectionJob(frame, (float)sigma, (float)threshold);
    });
    detectWatcher.setFuture(detectFuture);
}

void HessianMaximaMainWin::finishDetectHessianDetMax()
{
    // A task that ended by an exception leaves no result: report that as a
    // failure instead of rethrowing it into the event loop.
    const _HessianDetMaxResult result = detectWatcher.future().resultCount() > 0
        ? detectWatcher.result()
        : _HessianDetMaxResult{QVector<Feature>(), -1, 0.0f, QVector<FeatureMeasure>()};
    ui->featuresWidget->setFeatures(result.features);
    ui->statusBar->showMessage(runReport(result), 0);
}
