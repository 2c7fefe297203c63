#ifndef HESSIANMAXIMAMAINWIN_H
#define HESSIANMAXIMAMAINWIN_H

#include "featuremeasures.h"
#include "localmaxima.h"

#include <QFuture>
#include <QFutureWatcher>
#include <QImage>
#include <QMainWindow>
#include <QVector>

#include <cstdint>

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
        // measures[i] belongs to features[i]; measured after the timed span.
        QVector<FeatureMeasure> measures;
        // When asked for: the responses of the features the same run would
        // keep at any lower threshold (down to 0), ascending; read after the
        // timed span. A threshold t keeps those above t.
        QVector<float> candidateResponses = {};
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
};

#endif // HESSIANMAXIMAMAINWIN_H
