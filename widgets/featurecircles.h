#ifndef FEATURECIRCLES_H
#define FEATURECIRCLES_H

// How features are drawn, wherever they are drawn: on the frame view and on
// annotated pictures.

#include "localmaxima.h"

#include <QColor>
#include <QVector>

class QPainter;

// The outline colour, red 250, green 10, blue 10; circles are not filled.
const QColor kFeatureColour(250, 10, 10, 255);

// Draws each feature as a circle centred on the point (x, y) of the
// painter's coordinates, with the painter's pen: of radius radii[i] where
// `radii` is given, otherwise `radius`. Drawn in list order.
void drawFeatureCircles(QPainter &painter, const QVector<Feature> &features, double radius,
                        const QVector<float> &radii = QVector<float>());

#endif // FEATURECIRCLES_H
