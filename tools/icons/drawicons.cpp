// Draws the program's four 256 x 256 icons on transparent backgrounds and
// writes them as RGBA PNGs into the directory given on the command line.

#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPointF>
#include <QPolygonF>
#include <QRectF>
#include <QString>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

const int IconSize = 256;

QImage blankIcon()
{
    QImage icon(IconSize, IconSize, QImage::Format_ARGB32);
    icon.fill(Qt::transparent);
    return icon;
}

QLinearGradient verticalGradient(qreal top, qreal bottom, const QColor &upper, const QColor &lower)
{
    QLinearGradient gradient(0, top, 0, bottom);
    gradient.setColorAt(0.0, upper);
    gradient.setColorAt(1.0, lower);
    return gradient;
}

// The Mexican hat (negative Laplacian of a Gaussian) over a square grid,
// seen obliquely, coloured by height from blue (trough) to red (peak).
QImage drawLaplacian()
{
    const int cells = 28;
    const double extent = 2.8;
    const double azimuth = 0.6, elevation = 0.7, heightScale = 2.0;

    auto height = [](double x, double y) {
        const double r2 = x * x + y * y;
        return (1.0 - r2 / 2.0) * std::exp(-r2 / 2.0);
    };
    // Screen position before fitting (y down) and depth (larger is nearer).
    struct Vertex {
        QPointF screen;
        double depth;
        double z;
    };
    QVector<Vertex> grid;
    for (int j = 0; j <= cells; ++j) {
        for (int i = 0; i <= cells; ++i) {
            const double x = -extent + 2.0 * extent * i / cells;
            const double y = -extent + 2.0 * extent * j / cells;
            const double z = height(x, y);
            const double u = x * std::cos(azimuth) - y * std::sin(azimuth);
            const double v = x * std::sin(azimuth) + y * std::cos(azimuth);
            const QPointF screen(u, v * std::sin(elevation) - z * heightScale * std::cos(elevation));
            grid.append(Vertex{screen, v, z});
        }
    }

    // Fit the projected surface into the icon with a small margin.
    double left = 1e9, right = -1e9, top = 1e9, bottom = -1e9;
    for (const Vertex &vertex : grid) {
        left = std::min(left, vertex.screen.x());
        right = std::max(right, vertex.screen.x());
        top = std::min(top, vertex.screen.y());
        bottom = std::max(bottom, vertex.screen.y());
    }
    const double margin = 8.0;
    const double scale = (IconSize - 2.0 * margin) / std::max(right - left, bottom - top);
    const QPointF offset((IconSize - (right - left) * scale) / 2.0 - left * scale,
                         (IconSize - (bottom - top) * scale) / 2.0 - top * scale);

    struct Quad {
        QPolygonF polygon;
        double depth;
        double z;
    };
    QVector<Quad> quads;
    auto at = [&](int i, int j) -> const Vertex & { return grid[j * (cells + 1) + i]; };
    for (int j = 0; j < cells; ++j) {
        for (int i = 0; i < cells; ++i) {
            const Vertex *corners[4] = {&at(i, j), &at(i + 1, j), &at(i + 1, j + 1), &at(i, j + 1)};
            Quad quad;
            quad.depth = 0.0;
            quad.z = 0.0;
            for (const Vertex *corner : corners) {
                quad.polygon << corner->screen * scale + offset;
                quad.depth += corner->depth / 4.0;
                quad.z += corner->z / 4.0;
            }
            quads.append(quad);
        }
    }
    // Painter's algorithm: far quads first.
    std::sort(quads.begin(), quads.end(),
              [](const Quad &a, const Quad &b) { return a.depth < b.depth; });

    QImage icon = blankIcon();
    QPainter painter(&icon);
    painter.setRenderHint(QPainter::Antialiasing);
    const double lowest = -0.45, highest = 1.0;
    for (const Quad &quad : quads) {
        const double t = std::max(0.0, std::min(1.0, (quad.z - lowest) / (highest - lowest)));
        const QColor fill = QColor::fromHsvF(0.67 * (1.0 - t), 0.85, 0.95);
        painter.setBrush(fill);
        painter.setPen(QPen(fill.darker(160), 0.8));
        painter.drawPolygon(quad.polygon);
    }
    return icon;
}

// A blue open folder: the back with its tab, a sheet of paper, and the
// front flap tilted open.
QImage drawOpenFile()
{
    QImage icon = blankIcon();
    QPainter painter(&icon);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor outline(20, 60, 140);

    QPainterPath back;
    back.moveTo(24, 60);
    back.lineTo(96, 60);
    back.lineTo(112, 80);
    back.lineTo(212, 80);
    back.lineTo(212, 212);
    back.lineTo(24, 212);
    back.closeSubpath();
    const QPen outlinePen(outline, 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(outlinePen);
    painter.setBrush(verticalGradient(60, 212, QColor(70, 130, 220), QColor(30, 80, 170)));
    painter.drawPath(back);

    painter.setPen(QPen(QColor(150, 150, 150), 3));
    painter.setBrush(QColor(250, 250, 250));
    painter.drawRect(QRectF(56, 96, 136, 90));

    QPolygonF front;
    front << QPointF(58, 118) << QPointF(240, 118) << QPointF(206, 212) << QPointF(24, 212);
    painter.setPen(outlinePen);
    painter.setBrush(verticalGradient(118, 212, QColor(120, 180, 250), QColor(50, 110, 210)));
    painter.drawPolygon(front);
    return icon;
}

// A green triangle pointing right, with rounded corners.
QImage drawStart()
{
    QImage icon = blankIcon();
    QPainter painter(&icon);
    painter.setRenderHint(QPainter::Antialiasing);
    QPolygonF triangle;
    triangle << QPointF(60, 32) << QPointF(224, 128) << QPointF(60, 224);
    painter.setPen(QPen(QColor(10, 100, 25), 14, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(verticalGradient(32, 224, QColor(110, 220, 90), QColor(20, 150, 40)));
    painter.drawPolygon(triangle);
    return icon;
}

// A red diagonal cross: two thick bars with round ends and a dark rim.
QImage drawExit()
{
    QImage icon = blankIcon();
    QPainter painter(&icon);
    painter.setRenderHint(QPainter::Antialiasing);
    const QLineF bars[2] = {QLineF(56, 56, 200, 200), QLineF(200, 56, 56, 200)};
    painter.setPen(QPen(QColor(130, 10, 10), 58, Qt::SolidLine, Qt::RoundCap));
    for (const QLineF &bar : bars)
        painter.drawLine(bar);
    const QLinearGradient fill = verticalGradient(40, 216, QColor(250, 80, 70), QColor(200, 20, 20));
    painter.setPen(QPen(QBrush(fill), 42, Qt::SolidLine, Qt::RoundCap));
    for (const QLineF &bar : bars)
        painter.drawLine(bar);
    return icon;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    const QDir directory(QString::fromLocal8Bit(argv[1]));
    struct Icon {
        const char *name;
        QImage picture;
    };
    const Icon icons[] = {
        {"laplacian.png", drawLaplacian()},
        {"openfile.png", drawOpenFile()},
        {"start.png", drawStart()},
        {"exit.png", drawExit()},
    };
    for (const Icon &icon : icons) {
        const QString path = directory.filePath(QString::fromLatin1(icon.name));
        if (!icon.picture.save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
