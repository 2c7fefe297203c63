#ifndef OUTPUTFILES_H
#define OUTPUTFILES_H

#include <QByteArray>
#include <QString>

// Whether an output path is written beside itself and renamed into place
// once whole (a new file, or a regular one to replace), so that an
// interrupted run never leaves a half file that looks complete. Anything
// else that exists (a device, a named pipe, /dev/stdout) is written to
// directly, as the shell's ">" does: renaming over it would replace the
// device node or the pipe with a plain file.
bool replacedWhole(const QString &path);

// Writes all of `bytes` to `path` by that rule; false with the reason.
bool writeWholeFile(const QString &path, const QByteArray &bytes, QString *error);

#endif // OUTPUTFILES_H
