#include "inputfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

void addFolder(const QString &root, const QString &relative, bool recursive, const SourceOptions &options,
               QVector<InputPicture> &pictures)
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
                addFolder(root, name, recursive, options, pictures);
            continue;
        }
        // Opening a named pipe to look at its content would wait for a
        // writer that may never come.
        if (!isRegularFile(entry.filePath()))
            continue;
        InputPicture picture;
        picture.path = entry.filePath();
        picture.source = PictureSource::open(picture.path, options, &picture.error);
        // A file no reader knows is no picture; one a reader knows but
        // refuses is a picture that fails, with its reason.
        if (!picture.source && !holdsPicture(picture.path))
            continue;
        if (picture.source)
            picture.source->release();
        picture.annotationName = annotationNameFor(name);
        pictures.append(picture);
    }
}

} // namespace

bool isRegularFile(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

QVector<InputPicture> expandInputs(const QStringList &paths, bool recursive, const SourceOptions &options)
{
    QVector<InputPicture> pictures;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (path != QLatin1String("-") && info.isDir() && !options.folderSequence) {
            const int before = pictures.size();
            addFolder(path, QString(), recursive, options, pictures);
            // An empty result is more likely a wrong folder than an answer.
            if (pictures.size() == before)
                pictures.append(InputPicture{path, QString(),
                                             recursive ? QStringLiteral("no pictures in it or its subfolders")
                                                       : QStringLiteral("no pictures in it (--recursive looks in subfolders)"),
                                             nullptr});
            continue;
        }
        const QString name = path == QLatin1String("-") ? QStringLiteral("stdin.png")
                             : info.isDir() ? QDir(path).dirName() + QStringLiteral(".png")  // a folder read as one sequence
                                            : annotationNameFor(info.fileName());
        InputPicture picture{path, name, QString(), nullptr};
        picture.source = openInput(picture, options, &picture.error);
        pictures.append(picture);
    }
    if (pictures.size() > 1)
        for (InputPicture &picture : pictures)
            if (picture.source)
                picture.source->release();
    return pictures;
}

std::shared_ptr<PictureSource> openInput(const InputPicture &input, const SourceOptions &options, QString *error)
{
    if (input.source)
        return input.source;
    if (input.path != QLatin1String("-"))
        return PictureSource::open(input.path, options, error);
    // A pipe: read into memory, up to the loader's limit.
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly)) {
        *error = in.errorString();
        return nullptr;
    }
    return PictureSource::open(&in, QString(), options, error);
}
