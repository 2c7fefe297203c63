#include "outputfiles.h"

#include "inputfiles.h"

#include <QFileInfo>

#include <cstdio>

bool replacedWhole(const QString &path)
{
    const QFileInfo info(path);
    return !info.exists() || info.isDir() || isRegularFile(path);
}

TableOutput::TableOutput(const QString &path)
    : path(path), savedFile(path), directFile(path), saved(!path.isEmpty() && replacedWhole(path))
{
}

bool TableOutput::open(QString *error)
{
    if (path.isEmpty()) {
        standardOutput.open(stdout, QIODevice::WriteOnly);
        return true;
    }
    file = saved ? static_cast<QFileDevice *>(&savedFile) : &directFile;
    if (file->open(QIODevice::WriteOnly))
        return true;
    *error = QStringLiteral("cannot write '%1': %2").arg(path, file->errorString());
    return false;
}

QString TableOutput::name() const
{
    return path.isEmpty() ? QStringLiteral("standard output") : QStringLiteral("'%1'").arg(path);
}

bool TableOutput::close(bool commit)
{
    if (!saved)
        return file->flush() && (file != &standardOutput || std::fflush(stdout) == 0);
    return !commit || savedFile.commit();
}

void TableOutput::cancel()
{
    if (saved)
        savedFile.cancelWriting();
}

bool writeWholeFile(const QString &path, const QByteArray &bytes, QString *error)
{
    TableOutput output(path);
    QString opening;
    if (!output.open(&opening)) {
        *error = output.errorString();
        return false;
    }
    if (output.device()->write(bytes) == bytes.size() && output.close(true))
        return true;
    *error = output.errorString();
    output.cancel();
    return false;
}
