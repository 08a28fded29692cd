#include "core/folders.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

bool Folders::make(const QString &folder, QString *failure)
{
    const QStringList parts = folder.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString path;
    for (const QString &part : parts) {
        path += QLatin1Char('/') + part;
        const QByteArray native = QFile::encodeName(path);
        if (::mkdir(native.constData(), 0755) == 0)
            continue;
        const int error = errno;
        struct stat st;
        if (error == EEXIST && ::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode))
            continue;
        *failure = path + QStringLiteral(": ") + systemReason(error == EEXIST ? ENOTDIR : error);
        return false;
    }
    return true;
}

QString Folders::systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
