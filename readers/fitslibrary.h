#ifndef FITSLIBRARY_H
#define FITSLIBRARY_H

#include <QString>

#include <fitsio.h>

// cfitsio, opened when the first FITS file is read. Linked into the
// programs it would bring some thirty libraries (curl, TLS, Kerberos, LDAP)
// into every start, a third of a one-picture command's wall time.
struct FitsLibrary {
    decltype(&ffdkopn) openDiskFile;
    decltype(&ffomem) openMemFile;
    decltype(&ffclos) closeFile;
    decltype(&ffcmsg) clearErrorMessages;
    decltype(&ffgerr) errorText;
    decltype(&ffthdu) countHdus;
    decltype(&ffmahd) moveToHdu;
    decltype(&ffgiprll) imageParameters;
    decltype(&ffgiet) equivalentType;
    decltype(&ffgcrd) readCard;
    decltype(&ffghadll) hduAddresses;
    decltype(&ffgpxvll) readPixels;
    decltype(&ffgkey) readKeyword;
    decltype(&fits_is_compressed_image) isCompressedImage;
};

// The library, opened once for the whole process; nullptr with the reason
// in `error` when it cannot be opened.
const FitsLibrary *fitsLibrary(QString *error);

#endif
