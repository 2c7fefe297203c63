#ifndef FEATURESWIDGET_H
#define FEATURESWIDGET_H

#include "localmaxima.h"
#include "videowidget.h"

#include <QVector>

// The frame view with the features of the latest run drawn over it as red
// circles, in image pixel coordinates.
class FeaturesWidget : public VideoWidget
{
    Q_OBJECT

public:
    explicit FeaturesWidget(QWidget *parent = nullptr);
    ~FeaturesWidget() override;

public slots:
    void setFeatures(const QVector<Feature> &features);
    void clearFeatures();
    // Circles get a radius of three times the detection scale.
    void setFeatureScale(float scale);

protected:
    void paintEvent(QPaintEvent *event) override;

    QVector<Feature> features;
    float featureRadius;
};

#endif // FEATURESWIDGET_H
