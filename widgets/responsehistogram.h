#ifndef RESPONSEHISTOGRAM_H
#define RESPONSEHISTOGRAM_H

#include <QVector>
#include <QWidget>

// Guidance for the threshold: how the responses of a run's candidates are
// spread (a bar per range of responses, counts on a log axis), where the
// threshold lies among them and how many features it keeps. A click or a
// drag picks a threshold.
class ResponseHistogram : public QWidget
{
    Q_OBJECT

public:
    explicit ResponseHistogram(QWidget *parent = nullptr);

    // The candidates' responses, ascending; empty: no run to show.
    void setResponses(const QVector<float> &ascending);
    // The thresholds that can be picked, which the bars span.
    void setRange(double lowest, double highest);
    void setThreshold(double threshold);
    // The candidates above the threshold: the features it keeps.
    int kept() const;
    int candidates() const { return responses.size(); }
    // The threshold a click at widget column x picks.
    double thresholdAt(int x) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void thresholdPicked(double threshold);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    QRect plotArea() const;
    int columnOf(double response) const;
    // Candidates with lowest <= response < highest, in bins of `width`.
    QVector<int> binCounts(int bins) const;
    int countAbove(double value) const;

    QVector<float> responses;
    double lowest = 0.0;
    double highest = 1000.0;
    double threshold = 0.0;
};

#endif // RESPONSEHISTOGRAM_H
