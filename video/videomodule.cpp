#include "videomodule.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <dlfcn.h>

namespace {

struct Opened {
    const VideoModuleTable *table = nullptr;
    QString error;
};

// The file this code was linked into: the program, or the Python module.
QString loaderFile()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&videoModule), &info) && info.dli_fname)
        return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).canonicalFilePath();
    return QString();
}

QStringList candidates()
{
    const QByteArray chosen = qgetenv("HESSIAN_VIDEO_MODULE");
    if (!chosen.isEmpty())
        return {QString::fromLocal8Bit(chosen)};
    const QString name = QStringLiteral(HESSIAN_VIDEO_MODULE_NAME);
    QStringList paths;
    const QString loader = loaderFile();
    if (!loader.isEmpty()) {
        const QDir beside = QFileInfo(loader).absoluteDir();
        paths << beside.filePath(name);
        paths << QDir::cleanPath(beside.filePath(QStringLiteral("../" HESSIAN_VIDEO_RELATIVE_DIR "/") + name));
    }
    paths << QStringLiteral(HESSIAN_VIDEO_BUILD_PATH);
    paths << QStringLiteral(HESSIAN_VIDEO_INSTALL_DIR "/") + name;
    paths.removeDuplicates();
    return paths;
}

Opened open()
{
    Opened opened;
    const QStringList paths = candidates();
    QStringList reasons;
    for (const QString &path : paths) {
        if (!QFileInfo::exists(path)) {
            reasons << QStringLiteral("%1 not found").arg(path);
            continue;
        }
        void *handle = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            // FFmpeg's libraries missing, typically: dlerror names them.
            reasons << QString::fromLocal8Bit(dlerror());
            continue;
        }
        const auto entry = reinterpret_cast<VideoModuleEntry>(dlsym(handle, HESSIAN_VIDEO_ENTRY));
        const VideoModuleTable *table = entry ? entry(kVideoModuleAbi) : nullptr;
        if (!table) {
            reasons << QStringLiteral("%1 belongs to another version of the program").arg(path);
            dlclose(handle);
            continue;
        }
        // Kept open for the process, as the frames it made may outlive any
        // one source.
        opened.table = table;
        return opened;
    }
    opened.error = QStringLiteral("video support is not installed: %1").arg(reasons.join(QStringLiteral("; ")));
    return opened;
}

}  // namespace

const VideoModuleTable *videoModule(QString *error)
{
    static const Opened opened = open();
    if (!opened.table && error)
        *error = opened.error;
    return opened.table;
}
