#ifndef SPOTFIT_H
#define SPOTFIT_H

// A second, finer position for spots: a least-squares fit of a Gaussian
// spot to the grey pixels around a detection. The detector's own sub-pixel
// position (a parabola through three responses, featuremeasures.h) is kept
// as it is; this is a separate measurement, for callers who localise spots
// (tracking, single-particle work) and can spend the time.
//
// The model of pixel (x, y), sampled at the pixel's centre:
//
//     background + amplitude * exp(-(x - cx)^2 / (2 sigma^2)) * exp(-(y - cy)^2 / (2 sigma^2))
//
// with all five parameters free, fitted to the (2 radius + 1)^2 pixels
// centred on the pixel nearest the start (clipped to the picture) by
// Levenberg-Marquardt in double precision: the normal equations with
// their diagonal raised by lambda times itself, lambda starting at 1e-3,
// divided by 10 after a step that lowers the sum of squares and multiplied
// by 10 (the step refused) after one that does not. The fit ends when a
// step moves the centre by less than kSpotFitTolerance px (and changes
// sigma by less than that), or when no step lowers the sum up to a lambda
// of kSpotFitLargestLambda (the minimum, as far as the arithmetic can
// tell). Start: the centre at the given position, sigma as given, the
// background the median of the window's outermost ring of pixels (the
// lower middle one of an even count), the amplitude the centre pixel's
// value minus it.
//
// A fit is refused (SpotFit::fitted false) when it has not ended after
// kSpotFitIterations accepted steps, when its equations are singular, when
// the centre ends outside the square of 1.5 px around the start, when
// sigma ends outside 0.25 .. 4 times the starting sigma, when the amplitude is 0 or
// its sign is not that of the start, or when the window holds fewer than
// 9 pixels. Only the arithmetic above enters: the same input gives the
// same fit on every machine and thread.

#include <cstddef>
#include <cstdint>

// Beyond the detector's status codes (hessiandetector.h) and the linker's.
const int SPOT_BAD_SETTINGS = -20;

const int kSpotFitIterations = 20;
const double kSpotFitTolerance = 1e-3;       // px: a step this small ends the fit
const double kSpotFitLargestLambda = 1e6;    // no lower sum up to this damping: the minimum
const int32_t kSpotFitMaxRadius = 64;

struct SpotFit {
    double x;           // the fitted centre, in the picture's pixel coordinates
    double y;
    double sigma;       // the fitted spot's standard deviation, px
    double amplitude;   // its height above the background, grey levels (negative for a dark spot)
    double background;  // grey levels
    bool fitted;        // false: refused, the fields above are NaN
};

// Fits one spot of `grey` (width x height bytes, rows `stride` bytes apart)
// starting from (x, y) (a position inside the picture, normally the
// detector's sub-pixel one) with the starting `sigma` (> 0), over the
// window of `radius` (1 .. kSpotFitMaxRadius) pixels around the pixel
// nearest (x, y). Returns 0 (the fit in *fit, refused or not),
// SPOT_BAD_SETTINGS for a radius, sigma or position out of range or a
// picture with no pixel, or HESSIAN_NO_MEMORY.
int fitGaussianSpot(const unsigned char *grey, uint32_t width, uint32_t height, size_t stride, double x, double y,
                    double sigma, int32_t radius, SpotFit *fit);

// Fits `count` spots of one picture, each as fitGaussianSpot does, except
// that a pixel nearer to another of the spots' starting positions than to
// its own (strictly) is left out of that spot's fit: crowded spots are
// each fitted on their own side. radius 0: each spot's
// defaultSpotFitRadius(sigma[i]). Returns 0 (fits[i] for each spot),
// SPOT_BAD_SETTINGS (any spot out of range; fits untouched) or
// HESSIAN_NO_MEMORY.
int fitGaussianSpots(const unsigned char *grey, uint32_t width, uint32_t height, size_t stride, const double *x,
                     const double *y, const double *sigma, int64_t count, int32_t radius, SpotFit *fits);

// The window radius fitGaussianSpot uses by default for a spot of the
// detector's `sigma`: ceil(2 sigma), at least 2, at most kSpotFitMaxRadius.
int32_t defaultSpotFitRadius(double sigma);

#endif // SPOTFIT_H
