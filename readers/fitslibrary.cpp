#include "fitslibrary.h"

#include <dlfcn.h>

namespace {

struct Opened {
    FitsLibrary library{};
    QString error;
};

template <typename Function>
bool bind(void *handle, const char *name, Function *function, QString *error)
{
    *function = reinterpret_cast<Function>(dlsym(handle, name));
    if (!*function)
        *error = QStringLiteral("%1 lacks %2").arg(QString::fromLatin1(FITS_LIBRARY_NAME), QString::fromLatin1(name));
    return *function != nullptr;
}

Opened open()
{
    Opened opened;
    void *handle = dlopen(FITS_LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        opened.error = QStringLiteral("FITS pictures need %1, which cannot be opened (%2)")
                           .arg(QString::fromLatin1(FITS_LIBRARY_NAME), QString::fromLocal8Bit(dlerror()));
        return opened;
    }
    FitsLibrary &l = opened.library;
    QString &e = opened.error;
    const bool all = bind(handle, "ffdkopn", &l.openDiskFile, &e) && bind(handle, "ffomem", &l.openMemFile, &e)
        && bind(handle, "ffclos", &l.closeFile, &e) && bind(handle, "ffcmsg", &l.clearErrorMessages, &e)
        && bind(handle, "ffgerr", &l.errorText, &e) && bind(handle, "ffthdu", &l.countHdus, &e)
        && bind(handle, "ffmahd", &l.moveToHdu, &e) && bind(handle, "ffgiprll", &l.imageParameters, &e)
        && bind(handle, "ffgiet", &l.equivalentType, &e) && bind(handle, "ffgcrd", &l.readCard, &e)
        && bind(handle, "ffghadll", &l.hduAddresses, &e) && bind(handle, "ffgpxvll", &l.readPixels, &e)
        && bind(handle, "ffgkey", &l.readKeyword, &e)
        && bind(handle, "fits_is_compressed_image", &l.isCompressedImage, &e);
    if (!all)
        opened.library = FitsLibrary{};
    // Kept open for the process: pictures read later use it again.
    return opened;
}

}  // namespace

const FitsLibrary *fitsLibrary(QString *error)
{
    static const Opened opened = open();
    if (!opened.library.readPixels) {
        *error = opened.error;
        return nullptr;
    }
    return &opened.library;
}
