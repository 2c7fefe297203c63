#ifndef HESSIANMAXIMAMAINWIN_H
#define HESSIANMAXIMAMAINWIN_H

#include "localmaxima.h"

#include <QFuture>
#include <QFutureWatcher>
#include <QImage>
#include <QMainWindow>
#include <QVector>

#include <atomic>
#include <cstdint>
#include <memory>

namespace Ui {
class HessianMaximaMainWin;
}

class HessianMaximaMainWin : public QMainWindow
{
    Q_OBJECT

public:
    // What one detection run hands back to the GUI thread, by value.
    struct _HessianDetMaxResult {
        QVector<Feature> features;  // empty unless status is 0
        int32_t status;             // 0, or the failing step's negative code
        float elapsedMsec;          // response + maxima search, fractional ms
    };

    explicit HessianMaximaMainWin(QWidget *parent = nullptr);
    ~HessianMaximaMainWin() override;

    // One complete run over `frame`; runs on a pool thread and touches no
    // member of the window.
    _HessianDetMaxResult detectHessianDetMax(const QImage &frame, float sigma, float threshold);

protected slots:
    void openVideoFrame();
    void executeDetectHessianDetMax();
    void finishDetectHessianDetMax();

private:
    Ui::HessianMaximaMainWin *ui;
    QImage videoFrame;
    QFuture<_HessianDetMaxResult> detectFuture;
    QFutureWatcher<_HessianDetMaxResult> detectWatcher;
    // Counts the runs started; shared with every run still queued, which
    // returns at once when a later one has been started.
    std::shared_ptr<std::atomic<quint64>> latestRun;
    // The status-bar warning of the last damaged file opened.
    QString damageReport;
};

#endif // HESSIANMAXIMAMAINWIN_H
