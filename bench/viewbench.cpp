// hessian-maxima-view-bench: how long the frame view takes to redraw a
// large picture with many circles after each kind of view change, measured
// through the widget's own paint (QWidget::render), on Qt's offscreen
// platform. Not a test: it prints figures.
//
//   hessian-maxima-view-bench [--megapixels M] [--circles N] [--repeat R]
//
// Defaults: a 100-megapixel picture (10000 x 10000), 100 000 circles of
// radius 15 (sigma 5) in row order, a 1000 x 700 view, 9 repetitions.

#include "featureswidget.h"
#include "frameviewnavigator.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace {

struct Redraw {
    double firstPaintMsec;  // the first paint after the change
    double allCirclesMsec;  // until every circle in view is drawn
    int paints;
};

// Paints the view into `target` until its circles are all drawn.
Redraw redraw(FeaturesWidget &view, QImage &target)
{
    QElapsedTimer clock;
    clock.start();
    view.render(&target);
    Redraw result{(double)clock.nsecsElapsed() / 1e6, 0.0, 1};
    while (view.drawingCircles()) {
        view.render(&target);
        ++result.paints;
    }
    result.allCirclesMsec = (double)clock.nsecsElapsed() / 1e6;
    return result;
}

bool isRed(QRgb pixel)
{
    return qRed(pixel) > 200 && qGreen(pixel) < 60 && qBlue(pixel) < 60;
}

int countRed(const QImage &image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += isRed(image.pixel(x, y));
    return count;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    double megapixels = 100.0;
    int circles = 100000;
    int repeat = 9;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--megapixels"))
            megapixels = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--circles"))
            circles = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--repeat"))
            repeat = std::atoi(argv[i + 1]);
    }
    if (!(megapixels > 0.0) || circles < 0 || repeat < 1) {
        std::fprintf(stderr, "hessian-maxima-view-bench: bad --megapixels, --circles or --repeat\n");
        return 2;
    }
    QApplication application(argc, argv);

    const int side = (int)std::lround(std::sqrt(megapixels * 1e6));
    QImage picture(side, side, QImage::Format_RGB32);
    if (picture.isNull()) {
        std::fprintf(stderr, "hessian-maxima-view-bench: no memory for a %d x %d picture\n", side, side);
        return 1;
    }
    for (int y = 0; y < side; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(picture.scanLine(y));
        for (int x = 0; x < side; ++x)
            line[x] = qRgb(x * 255 / side, y * 255 / side, ((x ^ y) >> 4) & 0x3f);
    }
    QVector<Feature> features(circles);
    QRandomGenerator random(7);
    for (Feature &f : features)
        f = Feature{(float)random.bounded(side), (float)random.bounded(side)};
    std::sort(features.begin(), features.end(),
              [](const Feature &a, const Feature &b) { return a.y < b.y || (a.y == b.y && a.x < b.x); });

    FeaturesWidget view;
    view.resize(1000, 700);
    view.setVideoFrame(picture);
    view.setFeatureScale(5.0f);
    view.setFeatures(features);
    FrameViewNavigator navigator(&view);
    QImage target(view.size(), QImage::Format_ARGB32_Premultiplied);

    std::printf("picture %d x %d (%.1f megapixels), %d circles of radius 15, view %d x %d, %s platform\n",
                side, side, side * (double)side / 1e6, circles, view.width(), view.height(),
                qPrintable(QGuiApplication::platformName()));

    // Checked first: a zoom step shows the picture and circles.
    navigator.zoomIn();
    redraw(view, target);
    if (view.isFitted() || countRed(target) == 0) {
        std::fprintf(stderr, "hessian-maxima-view-bench: the zoomed view shows no circles\n");
        return 1;
    }

    struct Change {
        const char *name;
        std::function<void()> before;  // not timed
        std::function<void()> change;
    };
    const QPointF centre(view.width() / 2.0, view.height() / 2.0);
    const std::vector<Change> changes = {
        {"fitted view (the original paint)", [&] { navigator.zoomIn(); }, [&] { navigator.fitToWindow(); }},
        {"zoom step in from fitted (Ctrl++)", [&] { navigator.fitToWindow(); }, [&] { navigator.zoomIn(); }},
        {"zoom step out (from 3 steps in)", [&] { navigator.fitToWindow(); navigator.zoomIn(); navigator.zoomIn(); navigator.zoomIn(); },
         [&] { navigator.zoomOut(); }},
        {"one picture pixel per screen pixel", [&] { navigator.fitToWindow(); }, [&] { navigator.showActualPixels(); }},
        {"repaint, nothing changed (zoomed)", [&] { navigator.fitToWindow(); navigator.zoomIn(); redraw(view, target); },
         [] {}},
    };
    std::printf("\n%-38s %12s %12s %7s   (median of %d; min..max of all circles)\n", "after", "first paint",
                "all circles", "paints", repeat);
    for (const Change &change : changes) {
        std::vector<double> first, all;
        int paints = 0;
        for (int i = 0; i < repeat; ++i) {
            change.before();
            redraw(view, target);
            change.change();
            const Redraw r = redraw(view, target);
            first.push_back(r.firstPaintMsec);
            all.push_back(r.allCirclesMsec);
            paints = std::max(paints, r.paints);
        }
        std::printf("%-38s %9.1f ms %9.1f ms %7d   (%.1f..%.1f ms)\n", change.name, median(first), median(all), paints,
                    *std::min_element(all.begin(), all.end()), *std::max_element(all.begin(), all.end()));
    }
    return 0;
}
