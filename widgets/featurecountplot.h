#ifndef FEATURECOUNTPLOT_H
#define FEATURECOUNTPLOT_H

#include <QMap>
#include <QWidget>

// The features found in each frame of a sequence detected so far, as a line
// over the frames (0 at the left, the last frame at the right), with the
// frame shown marked.
class FeatureCountPlot : public QWidget
{
    Q_OBJECT

public:
    explicit FeatureCountPlot(QWidget *parent = nullptr);

    // Frame number -> features found in it; `lastFrame` -1 when the number
    // of frames is unknown (a live source: the frames seen span the plot).
    void setCounts(const QMap<qint64, int> &counts, qint64 lastFrame);
    void setCurrentFrame(qint64 frame);
    const QMap<qint64, int> &counts() const { return frameCounts; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QMap<qint64, int> frameCounts;
    qint64 last = -1;
    qint64 current = -1;
};

#endif // FEATURECOUNTPLOT_H
