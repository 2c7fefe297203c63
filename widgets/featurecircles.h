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
class QPolygonF;
class QTransform;

// The outline colour, red 250, green 10, blue 10; circles are not filled.
const QColor kFeatureColour(250, 10, 10, 255);
// Dark blobs, when circles are coloured by polarity: a blue that red-green
// colour blindness still tells from the red.
const QColor kDarkFeatureColour(30, 144, 255, 255);
// The circle of the feature picked out (a row selected in the results).
const QColor kHighlightColour(255, 220, 0, 255);
// A track's tail: a green that stands apart from the red, the blue and the
// yellow above.
const QColor kTrackTailColour(40, 220, 90, 255);

// How the circles of one list of features are drawn.
struct FeatureCircleLook {
    double radius = 18.0;        // every circle's, unless `radii` is given
    QVector<float> radii;        // radii[i] for features[i], when it has as many
    // When it has as many as the features: those with FEATURE_DARK are
    // drawn in kDarkFeatureColour, the others with the painter's pen.
    QVector<int8_t> polarities;
};

// Each feature's circle radius: a single-sigma run's three times its sigma,
// as the window has always drawn them; a scale-range run's the radius of
// its blob, kBlobRadiusPerSigma (sqrt 2) times its own sigma, as the
// overlap pruning weighs it.
QVector<float> featureCircleRadii(const QVector<FeatureMeasure> &measures, bool scaleRange);
// The polarity of each feature, for FeatureCircleLook::polarities.
QVector<int8_t> featurePolarities(const QVector<FeatureMeasure> &measures);

// A run's circles as the window shows them and annotated pictures draw
// them: radii by featureCircleRadii, dark blobs in their own colour when
// `byPolarity`.
FeatureCircleLook featureCircleLook(const QVector<FeatureMeasure> &measures, bool scaleRange,
                                    bool byPolarity = false);

// Draws each feature of [first, last) (last -1: to the end) as a circle
// centred on the point (x, y) of the painter's coordinates, with the
// painter's pen (its colour changed for dark blobs as `look` says), of the
// radius `look` gives it. Drawn in list order.
void drawFeatureCircles(QPainter &painter, const QVector<Feature> &features, const FeatureCircleLook &look,
                        int first = 0, int last = -1);

// The outline width, in widget pixels, of circles in a view that shows
// `zoom` widget pixels per picture pixel: one pixel until a picture pixel is
// 4 widget pixels wide, then 2, and 3 from 8 on.
int zoomedOutlineWidth(double zoom);

// Draws the features of [first, last) as a zoomed view shows them, in
// widget coordinates: centred on the middle of the feature's pixel, the
// picture's pixel (i, j) covering origin + (i, j) * zoom onwards, of the
// radius `look` gives times zoom, outlined zoomedOutlineWidth(zoom) wide (at
// least 3 pixels across), in kFeatureColour (or as `look` colours dark
// ones). Circles that miss `clip` are skipped. One-pixel outlines are
// snapped to whole pixels, within a quarter pixel of their centre, which Qt
// draws many times faster.
void drawZoomedFeatureCircles(QPainter &painter, const QVector<Feature> &features, const FeatureCircleLook &look,
                              double zoom, const QPointF &origin, int first, int last, const QRectF &clip);

// Draws each tail (a track's last positions, oldest first, in picture
// coordinates as features have them) as a polyline through the centres of
// their pixels, in kTrackTailColour, `width` device pixels wide; `toDevice`
// takes picture coordinates to the painter's. Tails of one point draw
// nothing.
void drawFeatureTails(QPainter &painter, const QVector<QPolygonF> &tails, const QTransform &toDevice, double width);

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
