#ifndef INPUTFILES_H
#define INPUTFILES_H

#include "picturesource.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

// One picture of a batch.
struct InputPicture {
    QString path;            // as given, as found in a folder, or "-" for standard input
    QString annotationName;  // where --annotate puts its picture, relative to the folder given
    // Why the input cannot be run (an unreadable folder, a file that cannot
    // be opened as a picture); empty when it can.
    QString error;
    // The input opened and identified, released until its turn (null: not
    // opened yet, opened when it is run).
    std::shared_ptr<PictureSource> source;
};

// The pictures that the command line's PATHs stand for, in order, each
// opened once as a source: a file as given (whatever it holds: a file that
// is no picture has its reason in `error`); a folder as the regular files in
// it (links followed) that hold a picture, recognised by content, not by
// name, in sorted order, hidden ones left out, named pipes and devices
// passed over unopened; with `recursive` its subfolders too, each at its
// place in that order. Links to folders are not followed, so no loop can
// arise. The sources of a batch (more than one input) are released until
// they are run, so that the files open at once stay few.
QVector<InputPicture> expandInputs(const QStringList &paths, bool recursive,
                                   const SourceOptions &options = SourceOptions());

// The source of an input, opened now when it was not yet (standard input
// for "-"); null with the reason.
std::shared_ptr<PictureSource> openInput(const InputPicture &input, const SourceOptions &options, QString *error);

// Whether the path leads, through any links, to a regular file (not a
// folder, a named pipe, a device or a socket).
bool isRegularFile(const QString &path);

#endif // INPUTFILES_H
