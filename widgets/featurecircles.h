#ifndef FEATURECIRCLES_H
#define FEATURECIRCLES_H

// How features are drawn, wherever they are drawn: on the frame view and on
// annotated pictures.

#include "featuremeasures.h"
#include "localmaxima.h"

#include <QColor>
#include <QPointF>
#include <QRectF>
#include <QVector>

class QPainter;

// The outline colour, red 250, green 10, blue 10; circles are not filled.
const QColor kFeatureColour(250, 10, 10, 255);

// Each feature's circle radius: three times its own sigma.
QVector<float> featureCircleRadii(const QVector<FeatureMeasure> &measures);

// Draws each feature of [first, last) (last -1: to the end) as a circle
// centred on the point (x, y) of the painter's coordinates, with the
// painter's pen: of radius radii[i] where `radii` is given, otherwise
// `radius`. Drawn in list order.
void drawFeatureCircles(QPainter &painter, const QVector<Feature> &features, double radius,
                        const QVector<float> &radii = QVector<float>(), int first = 0, int last = -1);

// The outline width, in widget pixels, of circles in a view that shows
// `zoom` widget pixels per picture pixel: one pixel until a picture pixel is
// 4 widget pixels wide, then 2, and 3 from 8 on.
int zoomedOutlineWidth(double zoom);

// Draws the features of [first, last) as a zoomed view shows them, in
// widget coordinates: centred on the middle of the feature's pixel, the
// picture's pixel (i, j) covering origin + (i, j) * zoom onwards, of radius
// (radii[i] or `radius`) * zoom, outlined zoomedOutlineWidth(zoom) wide (at
// least 3 pixels across). Circles that miss `clip` are skipped. One-pixel
// outlines are snapped to whole pixels, within a quarter pixel of their
// centre, which Qt draws many times faster.
void drawZoomedFeatureCircles(QPainter &painter, const QVector<Feature> &features, double radius,
                              const QVector<float> &radii, double zoom, const QPointF &origin, int first,
                              int last, const QRectF &clip);

// Every run hands its features over in row order (row by row, and within a
// row by column or scale). Lists in any other order are looked through
// whole.
bool inRowOrder(const QVector<Feature> &features);

// The index range [first, last) of the features whose row lies within
// top .. bottom, when `rowOrdered`; otherwise the whole list.
struct FeatureSpan {
    int first;
    int last;
};
FeatureSpan featureRows(const QVector<Feature> &features, bool rowOrdered, double top, double bottom);

#endif // FEATURECIRCLES_H
