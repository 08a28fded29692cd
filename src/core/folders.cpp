#include "core/folders.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

QString Folders::makeFresh(const QString &parent, const QString &name, QString *failure)
{
    QString base = parent;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    if (!make(base, failure))
        return QString();
    // mkdir makes a folder only where nothing is: what it makes is new.
    for (int n = 0; n < 10000; ++n) {
        const QString path = base + (n == 0 ? name : name + QStringLiteral(" (%1)").arg(n));
        if (::mkdir(QFile::encodeName(path).constData(), 0755) == 0)
            return path + QLatin1Char('/');
        if (errno != EEXIST) {
            *failure = path + QStringLiteral(": ") + systemReason(errno);
            return QString();
        }
    }
    *failure = base + name + QStringLiteral(": ") + systemReason(EEXIST);
    return QString();
}

QString Folders::numberedName(const QString &fileName, int n)
{
    if (n <= 0)
        return fileName;
    // "a.tar.gz" keeps its double extension together; a leading dot is part
    // of the name, not an extension.
    qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const qsizetype tar = fileName.lastIndexOf(QLatin1String(".tar."), -1, Qt::CaseInsensitive);
    if (tar > 0)
        dot = tar;
    if (dot <= 0)
        dot = fileName.size();
    return fileName.left(dot) + QStringLiteral(" (%1)").arg(n) + fileName.mid(dot);
}

QString Folders::freeName(const QString &folder, const QString &fileName)
{
    for (int n = 0; n < 10000; ++n) {
        const QString path = folder + numberedName(fileName, n);
        if (!taken(path))
            return path;
    }
    return QString();
}

bool Folders::moveNoReplace(const QString &from, const QString &to)
{
    const QByteArray src = QFile::encodeName(from), dst = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, src.constData(), AT_FDCWD, dst.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the no-replace rename: a hard link is refused
    // where a name is taken just the same.
    if (::link(src.constData(), dst.constData()) != 0)
        return false;
    ::unlink(src.constData());
    return true;
}

bool Folders::taken(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool Folders::isRealFolder(const QString &path)
{
    const QString bare = path.endsWith(QLatin1Char('/')) ? path.chopped(1) : path;
    struct stat st;
    return ::lstat(QFile::encodeName(bare).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

qint64 Folders::regularFileSize(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return qint64(st.st_size);
}

QString Folders::systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
