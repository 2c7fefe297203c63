#include "outputfiles.h"

#include "inputfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

bool replacedWhole(const QString &path)
{
    const QFileInfo info(path);
    return !info.exists() || info.isDir() || isRegularFile(path);
}

bool writeWholeFile(const QString &path, const QByteArray &bytes, QString *error)
{
    if (replacedWhole(path)) {
        QSaveFile file(path);
        if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
            return true;
        *error = file.errorString();
        return false;
    }
    QFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush())
        return true;
    *error = file.errorString();
    return false;
}
