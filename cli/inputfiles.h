#ifndef INPUTFILES_H
#define INPUTFILES_H

#include <QString>
#include <QStringList>
#include <QVector>

// One picture of a batch.
struct InputPicture {
    QString path;            // as given, as found in a folder, or "-" for standard input
    QString annotationName;  // where --annotate puts its picture, relative to the folder given
    QString error;           // set when the input cannot even be tried (an unreadable folder)
};

// The pictures that the command line's PATHs stand for, in order: a file as
// given (whatever it holds: a file that is no picture fails later, with its
// reason); a folder as the regular files in it (links followed) that hold
// a picture, recognised by content, not by name, in sorted order, hidden
// ones left out, named pipes and devices passed over unopened; with
// `recursive` its subfolders too, each at its place in that order. Links to
// folders are not followed, so no loop can arise.
QVector<InputPicture> expandInputs(const QStringList &paths, bool recursive);

// Whether a file's content is a picture that the installed readers know.
bool holdsPicture(const QString &path);

// Whether the path leads, through any links, to a regular file (not a
// folder, a named pipe, a device or a socket).
bool isRegularFile(const QString &path);

#endif // INPUTFILES_H
