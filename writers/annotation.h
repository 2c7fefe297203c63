#ifndef ANNOTATION_H
#define ANNOTATION_H

#include "featurecircles.h"
#include "featuremeasures.h"
#include "localmaxima.h"

#include <QImage>
#include <QString>
#include <QVector>

// The picture at full resolution with every feature drawn as the window
// draws it at one picture pixel per screen pixel: an outline one pixel
// wide, centred on its pixel, of the radius and colour `look` gives it
// (featureCircleLook: a single-sigma run's three times its sigma, a scale
// range's its blob's radius). Null when memory is short.
QImage annotatedPicture(const QImage &frame, const QVector<Feature> &features, const FeatureCircleLook &look);

// The same, written as a PNG file. On failure `error` says why.
bool saveAnnotatedPicture(const QString &path, const QImage &frame, const QVector<Feature> &features,
                          const FeatureCircleLook &look, QString *error);

#endif // ANNOTATION_H
