#include "spotfit.h"

#include "hessiandetector.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace {

const int kParameters = 5;  // cx, cy, amplitude, background, sigma

// A pixel the fit takes: its column and row in the window, and its grey
// level.
struct Sample {
    int32_t column;
    int32_t row;
    double value;
};

// The window: its top-left pixel and size, and per column and row the
// Gaussian's factor and offset at the parameters being evaluated.
struct Window {
    int64_t left, top;
    int32_t columns, rows;
    std::vector<double> gx, gy, dx, dy;
};

// The sum of squared residuals at p and, when normal is not null, the
// normal equations' matrix J^T J (upper triangle) and J^T r (r = data -
// model). The Gaussian of a pixel is exp(-dx^2 / 2 s^2) * exp(-dy^2 / 2 s^2):
// one exp per column and per row.
double evaluate(const std::vector<Sample> &samples, Window &w, const double p[kParameters],
                double normal[kParameters][kParameters], double gradient[kParameters])
{
    const double inverse2 = 1.0 / (p[4] * p[4]);
    for (int32_t c = 0; c < w.columns; ++c) {
        w.dx[(size_t)c] = (double)(w.left + c) - p[0];
        w.gx[(size_t)c] = std::exp(-0.5 * w.dx[(size_t)c] * w.dx[(size_t)c] * inverse2);
    }
    for (int32_t r = 0; r < w.rows; ++r) {
        w.dy[(size_t)r] = (double)(w.top + r) - p[1];
        w.gy[(size_t)r] = std::exp(-0.5 * w.dy[(size_t)r] * w.dy[(size_t)r] * inverse2);
    }
    double sum = 0.0;
    if (!normal) {
        for (const Sample &s : samples) {
            const double g = w.gx[(size_t)s.column] * w.gy[(size_t)s.row];
            const double residual = s.value - (p[3] + p[2] * g);
            sum += residual * residual;
        }
        return sum;
    }
    // The sums in scalars, so that they stay in registers.
    double n00 = 0, n01 = 0, n02 = 0, n03 = 0, n04 = 0, n11 = 0, n12 = 0, n13 = 0, n14 = 0, n22 = 0, n23 = 0, n24 = 0,
           n33 = 0, n34 = 0, n44 = 0, g0 = 0, g1 = 0, g2 = 0, g3 = 0, g4 = 0;
    for (const Sample &s : samples) {
        const double dx = w.dx[(size_t)s.column], dy = w.dy[(size_t)s.row];
        const double g = w.gx[(size_t)s.column] * w.gy[(size_t)s.row];
        const double residual = s.value - (p[3] + p[2] * g);
        sum += residual * residual;
        const double ag = p[2] * g * inverse2;
        const double d0 = ag * dx, d1 = ag * dy, d2 = g, d4 = ag * (dx * dx + dy * dy) / p[4];
        // d3 = 1 (the background's derivative).
        g0 += d0 * residual;
        g1 += d1 * residual;
        g2 += d2 * residual;
        g3 += residual;
        g4 += d4 * residual;
        n00 += d0 * d0;
        n01 += d0 * d1;
        n02 += d0 * d2;
        n03 += d0;
        n04 += d0 * d4;
        n11 += d1 * d1;
        n12 += d1 * d2;
        n13 += d1;
        n14 += d1 * d4;
        n22 += d2 * d2;
        n23 += d2;
        n24 += d2 * d4;
        n33 += 1.0;
        n34 += d4;
        n44 += d4 * d4;
    }
    const double rows[kParameters][kParameters] = {{n00, n01, n02, n03, n04},
                                                   {0, n11, n12, n13, n14},
                                                   {0, 0, n22, n23, n24},
                                                   {0, 0, 0, n33, n34},
                                                   {0, 0, 0, 0, n44}};
    for (int i = 0; i < kParameters; ++i)
        for (int j = 0; j < kParameters; ++j)
            normal[i][j] = rows[i][j];
    gradient[0] = g0;
    gradient[1] = g1;
    gradient[2] = g2;
    gradient[3] = g3;
    gradient[4] = g4;
    return sum;
}

// Solves a x = b for a symmetric positive definite a (upper triangle
// given) by Cholesky; false when a is not positive definite.
bool solve(const double a[kParameters][kParameters], const double b[kParameters], double x[kParameters])
{
    double l[kParameters][kParameters] = {};
    for (int i = 0; i < kParameters; ++i)
        for (int j = 0; j <= i; ++j) {
            double s = a[j][i];
            for (int k = 0; k < j; ++k)
                s -= l[i][k] * l[j][k];
            if (i == j) {
                if (!(s > 0.0))
                    return false;
                l[i][i] = std::sqrt(s);
            } else {
                l[i][j] = s / l[j][j];
            }
        }
    double z[kParameters];
    for (int i = 0; i < kParameters; ++i) {
        double s = b[i];
        for (int k = 0; k < i; ++k)
            s -= l[i][k] * z[k];
        z[i] = s / l[i][i];
    }
    for (int i = kParameters - 1; i >= 0; --i) {
        double s = z[i];
        for (int k = i + 1; k < kParameters; ++k)
            s -= l[k][i] * x[k];
        x[i] = s / l[i][i];
    }
    return true;
}

struct Picture {
    const unsigned char *grey;
    uint32_t width;
    uint32_t height;
    size_t stride;
};

bool validSpot(const Picture &picture, double x, double y, double sigma, int32_t radius)
{
    return sigma > 0.0 && sigma < (double)kSpotFitMaxRadius && radius >= 1 && radius <= kSpotFitMaxRadius
           && x >= -0.5 && x < (double)picture.width - 0.5 && y >= -0.5 && y < (double)picture.height - 0.5;
}

// The fit of one spot whose window's pixels nearer to one of `others`
// (indices into ox, oy) than to (x, y) are left out. `samples` and `ring`
// are scratch.
SpotFit fitSpot(const Picture &picture, double x, double y, double sigma, int32_t radius, const double *ox,
                const double *oy, const std::vector<int64_t> &others, std::vector<Sample> &samples,
                std::vector<double> &ring, Window &w)
{
    SpotFit fit{NAN, NAN, NAN, NAN, NAN, false};
    const int64_t cx = (int64_t)std::floor(x + 0.5), cy = (int64_t)std::floor(y + 0.5);
    const int64_t left = std::max<int64_t>(cx - radius, 0), top = std::max<int64_t>(cy - radius, 0);
    const int64_t right = std::min<int64_t>(cx + radius, (int64_t)picture.width - 1);
    const int64_t bottom = std::min<int64_t>(cy + radius, (int64_t)picture.height - 1);
    samples.clear();
    ring.clear();
    for (int64_t py = top; py <= bottom; ++py)
        for (int64_t px = left; px <= right; ++px) {
            const double sx = (double)px, sy = (double)py;
            const double own = (sx - x) * (sx - x) + (sy - y) * (sy - y);
            bool owned = true;
            for (int64_t k : others)
                if ((sx - ox[k]) * (sx - ox[k]) + (sy - oy[k]) * (sy - oy[k]) < own) {
                    owned = false;
                    break;
                }
            if (!owned)
                continue;
            const double value = picture.grey[(size_t)py * picture.stride + (size_t)px];
            samples.push_back(Sample{(int32_t)(px - left), (int32_t)(py - top), value});
            if (py == top || py == bottom || px == left || px == right)
                ring.push_back(value);
        }
    if (samples.size() < 9)
        return fit;
    w.left = left;
    w.top = top;
    w.columns = (int32_t)(right - left + 1);
    w.rows = (int32_t)(bottom - top + 1);
    w.gx.resize((size_t)w.columns);
    w.dx.resize((size_t)w.columns);
    w.gy.resize((size_t)w.rows);
    w.dy.resize((size_t)w.rows);
    // The background: the median of the outermost ring (the lower middle
    // one of an even count), or the lowest pixel when the ring is all
    // another spot's.
    double background;
    if (!ring.empty()) {
        std::nth_element(ring.begin(), ring.begin() + (ptrdiff_t)(ring.size() - 1) / 2, ring.end());
        background = ring[(ring.size() - 1) / 2];
    } else {
        background = samples[0].value;
        for (const Sample &s : samples)
            background = std::min(background, s.value);
    }
    const double start[kParameters] = {x, y, (double)picture.grey[(size_t)cy * picture.stride + (size_t)cx] - background,
                                       background, sigma};
    if (start[2] == 0.0)
        return fit;

    double p[kParameters];
    std::copy(start, start + kParameters, p);
    double normal[kParameters][kParameters], gradient[kParameters];
    double sum = evaluate(samples, w, p, normal, gradient);
    double lambda = 1e-3;
    bool converged = false;
    for (int iteration = 0; iteration < kSpotFitIterations && !converged;) {
        double damped[kParameters][kParameters], step[kParameters], trial[kParameters];
        for (int i = 0; i < kParameters; ++i)
            for (int j = i; j < kParameters; ++j)
                damped[i][j] = normal[i][j] * (i == j ? 1.0 + lambda : 1.0);
        if (!solve(damped, gradient, step))
            break;  // the pixels do not pin the parameters down (no amplitude, say)
        for (int i = 0; i < kParameters; ++i)
            trial[i] = p[i] + step[i];
        // The trial's equations at once: most steps are taken.
        double trialNormal[kParameters][kParameters], trialGradient[kParameters];
        const double trialSum = trial[4] > 0.0 ? evaluate(samples, w, trial, trialNormal, trialGradient) : INFINITY;
        if (!(trialSum < sum)) {
            lambda *= 10.0;
            // No step lowers the sum any more: p is the minimum, as far as
            // the arithmetic can tell.
            converged = lambda > kSpotFitLargestLambda;
            continue;
        }
        ++iteration;
        lambda /= 10.0;
        converged = std::fabs(step[0]) < kSpotFitTolerance && std::fabs(step[1]) < kSpotFitTolerance
                    && std::fabs(step[4]) < kSpotFitTolerance;
        std::copy(trial, trial + kParameters, p);
        sum = trialSum;
        std::copy(&trialNormal[0][0], &trialNormal[0][0] + kParameters * kParameters, &normal[0][0]);
        std::copy(trialGradient, trialGradient + kParameters, gradient);
    }
    if (!converged || std::fabs(p[0] - x) > 1.5 || std::fabs(p[1] - y) > 1.5 || p[4] < 0.25 * sigma
        || p[4] > 4.0 * sigma || p[2] == 0.0 || (p[2] > 0.0) != (start[2] > 0.0) || !std::isfinite(sum))
        return fit;
    return SpotFit{p[0], p[1], p[4], p[2], p[3], true};
}

} // namespace

int32_t defaultSpotFitRadius(double sigma)
{
    if (!(sigma > 0.0) || !(sigma < (double)kSpotFitMaxRadius))
        return kSpotFitMaxRadius;
    return std::min(kSpotFitMaxRadius, std::max<int32_t>(2, (int32_t)std::ceil(2.0 * sigma)));
}

int fitGaussianSpots(const unsigned char *grey, uint32_t width, uint32_t height, size_t stride, const double *x,
                     const double *y, const double *sigma, int64_t count, int32_t radius, SpotFit *fits)
{
    const Picture picture{grey, width, height, stride};
    if (width == 0 || height == 0 || stride < width || count < 0 || radius < 0 || radius > kSpotFitMaxRadius)
        return SPOT_BAD_SETTINGS;
    for (int64_t i = 0; i < count; ++i)
        if (!validSpot(picture, x[i], y[i], sigma[i], radius > 0 ? radius : defaultSpotFitRadius(sigma[i])))
            return SPOT_BAD_SETTINGS;
    try {
        // The spots in square cells of the widest window's span, so that
        // every spot that can own a pixel of a window lies in the 3 x 3
        // cells around its spot: a pixel within r + 0.5 of a spot (each
        // axis) is nearer to another only if that one lies within 2 r + 1.
        int32_t widest = radius;
        for (int64_t i = 0; i < count && radius == 0; ++i)
            widest = std::max(widest, defaultSpotFitRadius(sigma[i]));
        const double cell = 2.0 * widest + 2.0;
        const int64_t columns = (int64_t)std::floor(((double)width - 0.5) / cell) + 2;
        const int64_t rows = (int64_t)std::floor(((double)height - 0.5) / cell) + 2;
        const auto cellOf = [&](int64_t i) {
            return (int64_t)std::floor((y[i] + 0.5) / cell) * columns + (int64_t)std::floor((x[i] + 0.5) / cell);
        };
        std::vector<int64_t> cellStart((size_t)(columns * rows + 1), 0), members((size_t)count);
        for (int64_t i = 0; i < count; ++i)
            ++cellStart[(size_t)cellOf(i) + 1];
        for (size_t c = 1; c < cellStart.size(); ++c)
            cellStart[c] += cellStart[c - 1];
        {
            std::vector<int64_t> fill(cellStart.begin(), cellStart.end() - 1);
            for (int64_t i = 0; i < count; ++i)
                members[(size_t)fill[(size_t)cellOf(i)]++] = i;
        }
        std::vector<int64_t> others;
        std::vector<Sample> samples;
        std::vector<double> ring;
        Window window;
        for (int64_t i = 0; i < count; ++i) {
            const int32_t r = radius > 0 ? radius : defaultSpotFitRadius(sigma[i]);
            const int64_t c = cellOf(i), row = c / columns, column = c % columns;
            others.clear();
            for (int64_t nr = std::max<int64_t>(row - 1, 0); nr <= std::min(row + 1, rows - 1); ++nr)
                for (int64_t nc = std::max<int64_t>(column - 1, 0); nc <= std::min(column + 1, columns - 1); ++nc)
                    for (int64_t k = cellStart[(size_t)(nr * columns + nc)]; k < cellStart[(size_t)(nr * columns + nc) + 1];
                         ++k) {
                        const int64_t j = members[(size_t)k];
                        if (j != i && std::fabs(x[j] - x[i]) <= 2.0 * r + 1.0 && std::fabs(y[j] - y[i]) <= 2.0 * r + 1.0)
                            others.push_back(j);
                    }
            fits[i] = fitSpot(picture, x[i], y[i], sigma[i], r, x, y, others, samples, ring, window);
        }
    } catch (const std::bad_alloc &) {
        return HESSIAN_NO_MEMORY;
    }
    return 0;
}

int fitGaussianSpot(const unsigned char *grey, uint32_t width, uint32_t height, size_t stride, double x, double y,
                    double sigma, int32_t radius, SpotFit *fit)
{
    if (radius < 1)
        return SPOT_BAD_SETTINGS;
    return fitGaussianSpots(grey, width, height, stride, &x, &y, &sigma, 1, radius, fit);
}
