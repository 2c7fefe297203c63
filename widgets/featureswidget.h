#ifndef FEATURESWIDGET_H
#define FEATURESWIDGET_H

#include "featurecircles.h"
#include "localmaxima.h"
#include "videowidget.h"

#include <QImage>
#include <QPoint>
#include <QPolygonF>
#include <QTimer>
#include <QVector>

// The frame view with the features of the latest run drawn over it as red
// circles, in image pixel coordinates.
class FeaturesWidget : public VideoWidget
{
    Q_OBJECT

public:
    explicit FeaturesWidget(QWidget *parent = nullptr);
    ~FeaturesWidget() override;

    // More circles than this in view are drawn a slice at a time, between
    // events, so that the window keeps answering while they appear.
    static const int kCirclesAtOnce = 20000;

    // Each feature's own radius, radii[i] image pixels for features[i];
    // empty (the default): featureRadius for all.
    void setFeatureRadii(const QVector<float> &radii);
    // Each feature's polarity (FEATURE_BRIGHT or FEATURE_DARK), used while
    // circles are coloured by polarity: dark blobs then get a colour of
    // their own. Red for all otherwise, as always.
    void setFeaturePolarities(const QVector<int8_t> &polarities);
    void setColourByPolarity(bool on);
    // Whether the circles are drawn at all (they are at start).
    void setFeaturesShown(bool shown);
    bool featuresShown() const { return circlesShown; }
    // One feature's circle drawn over the others in kHighlightColour; -1
    // (the default, and after every new list): none.
    void setHighlightedFeature(int index);
    int highlightedFeature() const { return highlighted; }
    // How the circles are drawn now.
    FeatureCircleLook circleLook() const;
    // The feature whose circle holds the widget point (the nearest centre
    // of those that do; tiny circles count as a few widget pixels wide), or
    // -1.
    int featureAt(const QPointF &widgetPoint) const;
    // Each feature's track tail, its last positions in picture coordinates
    // (tails[i] for features[i], oldest first), drawn under the circles;
    // empty (the default, and after every new list): none.
    void setFeatureTails(const QVector<QPolygonF> &tails);
    const QVector<QPolygonF> &featureTails() const { return tails; }
    // Whether circles in view are still being drawn.
    bool drawingCircles() const;

public slots:
    void setFeatures(const QVector<Feature> &features);
    void clearFeatures();
    // Circles get a radius of three times the detection scale.
    void setFeatureScale(float scale);

protected:
    void paintEvent(QPaintEvent *event) override;

    QVector<Feature> features;
    float featureRadius;

private:
    // The features in view, as an index range.
    FeatureSpan featuresInView() const;
    double largestRadius() const;
    void drawCircles(QPainter &painter, int first, int last);
    void drawHighlight(QPainter &painter);
    void paintManyCircles(const FeatureSpan &span);
    void featuresChanged();

    QVector<float> featureRadii;
    QVector<int8_t> polarities;
    QVector<QPolygonF> tails;
    bool byPolarity = false;
    bool circlesShown = true;
    int highlighted = -1;
    // Whether `features` is in row order, known from the list's first look.
    bool listInRowOrder() const;
    mutable bool rowOrderKnown = false;
    mutable bool rowOrdered = false;

    // Many circles: drawn into `circleLayer` a slice per paint, for the
    // view and the list it was begun for.
    struct LayerKey {
        quint64 list;
        bool fitted;
        double scale;
        QPoint origin;
        QSize size;
        qint64 frame;
        bool operator==(const LayerKey &other) const;
    };
    LayerKey currentLayerKey() const;
    quint64 listGeneration = 0;
    QImage circleLayer;
    LayerKey layerKey = {};
    int layerNext = 0;
    int layerEnd = 0;
    QTimer nextSlice;
};

#endif // FEATURESWIDGET_H
