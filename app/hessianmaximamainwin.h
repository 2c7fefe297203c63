#ifndef HESSIANMAXIMAMAINWIN_H
#define HESSIANMAXIMAMAINWIN_H

#include "localmaxima.h"

#include <QFuture>
#include <QFutureWatcher>
#include <QImage>
#include <QMainWindow>
#include <QVector>

#include <cstdint>
#include <memory>

class RunTurns;

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
    // Shared with every run not finished: each waits for the one in
    // progress and gives up when a later one is started.
    std::shared_ptr<RunTurns> runTurns;
    // The status-bar warning of the last damaged file opened.
    QString damageReport;
};

#endif // HESSIANMAXIMAMAINWIN_H
