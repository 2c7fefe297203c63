#include "inputfiles.h"

#include "nativepictures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <sys/stat.h>

namespace {

// "photo.jpg" -> "photo.png", keeping any folders in front of it.
QString annotationNameFor(const QString &relativePath)
{
    const QFileInfo info(relativePath);
    const QString stem = info.completeBaseName().isEmpty() ? info.fileName() : info.completeBaseName();
    const QString folder = QFileInfo(relativePath).path();
    const QString name = stem + QStringLiteral(".png");
    return folder == QLatin1String(".") ? name : folder + QLatin1Char('/') + name;
}

void addFolder(const QString &root, const QString &relative, bool recursive, QVector<InputPicture> &pictures)
{
    const QString folderPath = relative.isEmpty() ? root : QDir(root).filePath(relative);
    const QDir folder(folderPath);
    if (!folder.isReadable()) {
        InputPicture failed;
        failed.path = folderPath;
        failed.error = QStringLiteral("the folder cannot be read (permission denied)");
        pictures.append(failed);
        return;
    }
    const QFileInfoList entries = folder.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot,
                                                       QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString name = relative.isEmpty() ? entry.fileName() : relative + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            if (recursive && !entry.isSymLink())
                addFolder(root, name, recursive, pictures);
            continue;
        }
        // Opening a named pipe to look at its content would wait for a
        // writer that may never come.
        if (!isRegularFile(entry.filePath()) || !holdsPicture(entry.filePath()))
            continue;
        InputPicture picture;
        picture.path = entry.filePath();
        picture.annotationName = annotationNameFor(name);
        pictures.append(picture);
    }
}

} // namespace

bool holdsPicture(const QString &path)
{
    // FITS images are read by cfitsio, not by a Qt plug-in.
    QFile file(path);
    if (file.open(QIODevice::ReadOnly) && looksLikeFits(file.read(80)))
        return true;
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    return reader.canRead();
}

bool isRegularFile(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

QVector<InputPicture> expandInputs(const QStringList &paths, bool recursive)
{
    QVector<InputPicture> pictures;
    for (const QString &path : paths) {
        if (path == QLatin1String("-")) {
            pictures.append(InputPicture{path, QStringLiteral("stdin.png"), QString()});
            continue;
        }
        const QFileInfo info(path);
        if (info.isDir()) {
            const int before = pictures.size();
            addFolder(path, QString(), recursive, pictures);
            // An empty result is more likely a wrong folder than an answer.
            if (pictures.size() == before)
                pictures.append(InputPicture{path, QString(),
                                             recursive ? QStringLiteral("no pictures in it or its subfolders")
                                                       : QStringLiteral("no pictures in it (--recursive looks in subfolders)")});
            continue;
        }
        pictures.append(InputPicture{path, annotationNameFor(info.fileName()), QString()});
    }
    return pictures;
}
