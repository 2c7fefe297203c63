#ifndef ANNOTATION_H
#define ANNOTATION_H

#include "featuremeasures.h"
#include "localmaxima.h"

#include <QImage>
#include <QString>
#include <QVector>

// The picture at full resolution with every feature drawn as the window
// draws it at one picture pixel per screen pixel: a red outline one pixel
// wide, of radius three times the feature's sigma, centred on its pixel.
// Null when memory is short.
QImage annotatedPicture(const QImage &frame, const QVector<Feature> &features,
                        const QVector<FeatureMeasure> &measures);

// The same, written as a PNG file. On failure `error` says why.
bool saveAnnotatedPicture(const QString &path, const QImage &frame, const QVector<Feature> &features,
                          const QVector<FeatureMeasure> &measures, QString *error);

#endif // ANNOTATION_H
