// Fuzzes the readers that keep samples as stored, through the loader and
// row by row: FITS (fuzz_fits) or TIFF (fuzz_tiff), one source built twice.
// Besides "no crash, no leak, a reason for every refusal", a file must read
// the same whole and in bands (the streamed run reads bands), and be
// damaged or sound the same way in every mode.
//
// Input: byte 0 picks the band height (its low 3 bits, 1 to 8 rows) and the
// stretch of the load (bits 3-4: default, minmax, percentile); the rest is
// the file.

#include "frameloading.h"
#include "nativepictures.h"

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// One execution must stay well under a second.
const qint64 kFuzzMaxPixels = qint64(1) << 16;

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "%s: broken: %s\n", FUZZ_NAME, what);
        std::abort();
    }
}

void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
        std::abort();
    }
}

bool takes(const QByteArray &file)
{
    if (QByteArray(FUZZ_NAME) == "fuzz_fits")
        return looksLikeFits(file.left(80));
    return file.startsWith(QByteArray("II*\0", 4)) || file.startsWith(QByteArray("MM\0*", 4))
           || file.startsWith(QByteArray("II+\0", 4)) || file.startsWith(QByteArray("MM\0+", 4));
}

// The rows whole, then in bands of `band` rows from a fresh reader: the
// same verdict, the same samples, the same damage.
void compareBands(const QByteArray &file, qint64 band)
{
    QByteArray copy = file;
    QBuffer first(&copy), second(&copy);
    first.open(QIODevice::ReadOnly);
    second.open(QIODevice::ReadOnly);
    QString error;
    std::unique_ptr<NativePicture> whole = openNativePicture(&first, QString(), &error);
    if (!whole)
        return;
    std::unique_ptr<NativePicture> banded = openNativePicture(&second, QString(), &error);
    check(banded != nullptr, "a file opened once and not twice");
    const NativeLayout &layout = whole->layout();
    check(layout.width >= 1 && layout.height >= 1, "a picture of no pixels opened");
    if (layout.width * layout.height > kFuzzMaxPixels)
        return;
    const size_t bytes = (size_t)(whole->rowBytes() * layout.height);
    std::vector<unsigned char> all(bytes, 0xA5), bands(bytes, 0x5A);
    QString wholeError, bandError;
    const bool wholeRead = whole->readRows(0, layout.height, all.data(), &wholeError);
    bool bandsRead = true;
    for (qint64 y = 0; y < layout.height && bandsRead; y += band)
        bandsRead = banded->readRows(y, std::min(band, layout.height - y), bands.data() + y * whole->rowBytes(),
                                     &bandError);
    check(wholeRead == bandsRead, "whole and banded reads disagree on whether the file reads");
    if (!wholeRead) {
        check(!wholeError.isEmpty() && !bandError.isEmpty(), "a failed read without a reason");
        return;
    }
    check(all == bands, "whole and banded reads give different samples");
    check(whole->layout().damage.isEmpty() == banded->layout().damage.isEmpty(),
          "whole and banded reads disagree on damage");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qInstallMessageHandler(quietMessages);
    static QCoreApplication application(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const QByteArray file((const char *)data + 1, (int)(size - 1));
    if (!takes(file))
        return 0;
    compareBands(file, 1 + (data[0] & 7));

    // The loader's own size check comes first; larger pictures take too long
    // here (the native reader's whole and banded reads were compared above
    // only for small ones too).
    {
        QByteArray copy = file;
        QBuffer device(&copy);
        device.open(QIODevice::ReadOnly);
        const QSize size = frameSizeBeforeDecoding(&device);
        if (size.isValid() && (qint64)size.width() * size.height() > kFuzzMaxPixels)
            return 0;
    }

    // The loader in two modes: loaded or refused alike, damaged alike.
    const int stretch = (data[0] >> 3) & 3;
    const StretchMode modes[2] = {stretch == 1 ? StretchMode::MinMax : stretch == 2 ? StretchMode::Percentile
                                                                                     : StretchMode::Default,
                                  StretchMode::MinMax};
    bool loaded[2];
    QString damage[2];
    for (int i = 0; i < 2; ++i) {
        QByteArray copy = file;
        QBuffer device(&copy);
        device.open(QIODevice::ReadOnly);
        LoadOptions options;
        options.stretch.mode = modes[i];
        LoadedPicture picture;
        QString error;
        loaded[i] = loadPicture(&device, options, &picture, &error, &damage[i]);
        if (!loaded[i]) {
            check(!error.isEmpty(), "a refusal without a reason");
            // A picture whose samples are all blank holds no numbers to
            // stretch, and reads under "none" only.
            if (error.contains(QLatin1String("holds no numbers")))
                return 0;
        } else {
            check(!picture.frame.isNull(), "a loaded picture without a frame");
        }
    }
    check(loaded[0] == loaded[1], "a file loads in one mode and not in another");
    check(damage[0].isEmpty() == damage[1].isEmpty(), "a file is damaged in one mode and not in another");
    return 0;
}
