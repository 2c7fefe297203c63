#ifndef OUTPUTFILES_H
#define OUTPUTFILES_H

#include <QByteArray>
#include <QFile>
#include <QSaveFile>
#include <QString>

// Whether an output path is written beside itself and renamed into place
// once whole (a new file, or a regular one to replace), so that an
// interrupted run never leaves a half file that looks complete. Anything
// else that exists (a device, a named pipe, /dev/stdout) is written to
// directly, as the shell's ">" does: renaming over it would replace the
// device node or the pipe with a plain file.
bool replacedWhole(const QString &path);

// Where a table goes: standard output (an empty path), or a file by that
// rule.
class TableOutput
{
public:
    explicit TableOutput(const QString &path);

    // False, with the reason, when the file cannot be written.
    bool open(QString *error);

    QIODevice *device() { return file; }
    QString name() const;
    bool replacesFile() const { return saved; }
    QString errorString() const { return file->errorString(); }

    // Nothing is written before it has left the buffers: a full disk or a
    // closed pipe shows only when they are flushed. A file replaced is
    // renamed into place only when `commit` is true.
    bool close(bool commit);
    // A file that was to replace another is left unwritten.
    void cancel();

private:
    QString path;
    QFile standardOutput;
    QSaveFile savedFile;
    QFile directFile;
    QFileDevice *file = &standardOutput;
    bool saved;
};

// Writes all of `bytes` to `path` as a table output; false with the reason.
bool writeWholeFile(const QString &path, const QByteArray &bytes, QString *error);

#endif // OUTPUTFILES_H
