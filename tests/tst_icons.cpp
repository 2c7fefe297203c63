#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QtEndian>
#include <QtTest>

// The four compiled-in icons: 256 x 256, 8-bit RGBA PNGs, not interlaced,
// on a transparent background, each in its own colour.
class TstIcons : public QObject
{
    Q_OBJECT

private slots:
    void icon_data();
    void icon();
};

void TstIcons::icon_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("dominantChannel");  // 0 red, 1 green, 2 blue, -1 several
    QTest::newRow("window, rainbow") << QStringLiteral(":/icons/resources/laplacian.png") << -1;
    QTest::newRow("open, blue") << QStringLiteral(":/icons/resources/openfile.png") << 2;
    QTest::newRow("start, green") << QStringLiteral(":/icons/resources/start.png") << 1;
    QTest::newRow("exit, red") << QStringLiteral(":/icons/resources/exit.png") << 0;
}

void TstIcons::icon()
{
    QFETCH(QString, path);
    QFETCH(int, dominantChannel);
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path + QStringLiteral(" is missing")));
    const QByteArray png = file.readAll();
    QVERIFY(png.size() > 33);

    // Signature, then the IHDR chunk: length, type, width, height, bit
    // depth, colour type, compression, filter, interlace.
    QCOMPARE(png.left(8), QByteArray("\x89PNG\r\n\x1a\n", 8));
    QCOMPARE(png.mid(12, 4), QByteArray("IHDR"));
    const uchar *ihdr = reinterpret_cast<const uchar *>(png.constData()) + 16;
    QCOMPARE(qFromBigEndian<quint32>(ihdr), 256u);
    QCOMPARE(qFromBigEndian<quint32>(ihdr + 4), 256u);
    QCOMPARE((int)ihdr[8], 8);   // bits per channel
    QCOMPARE((int)ihdr[9], 6);   // RGBA
    QCOMPARE((int)ihdr[12], 0);  // not interlaced

    const QImage icon = QImage::fromData(png).convertToFormat(QImage::Format_ARGB32);
    for (const QPoint &corner : {QPoint(0, 0), QPoint(255, 0), QPoint(0, 255), QPoint(255, 255)})
        QCOMPARE(qAlpha(icon.pixel(corner)), 0);
    int opaque = 0;
    int transparent = 0;
    double sums[3] = {0, 0, 0};
    bool reddish = false;
    bool bluish = false;
    for (int y = 0; y < 256; ++y) {
        for (int x = 0; x < 256; ++x) {
            const QRgb p = icon.pixel(x, y);
            if (qAlpha(p) == 0)
                ++transparent;
            if (qAlpha(p) != 255)
                continue;
            ++opaque;
            sums[0] += qRed(p);
            sums[1] += qGreen(p);
            sums[2] += qBlue(p);
            reddish = reddish || (qRed(p) > 180 && qBlue(p) < 100);
            bluish = bluish || (qBlue(p) > 180 && qRed(p) < 100);
        }
    }
    // A picture, not a filled square, and not an empty canvas.
    QVERIFY(opaque > 256 * 256 / 10);
    QVERIFY(transparent > 256 * 256 / 5);

    if (dominantChannel < 0) {
        QVERIFY(reddish && bluish);
    } else {
        for (int other = 0; other < 3; ++other)
            if (other != dominantChannel)
                QVERIFY(sums[dominantChannel] > 1.3 * sums[other]);
    }
}

QTEST_MAIN(TstIcons)
#include "tst_icons.moc"
