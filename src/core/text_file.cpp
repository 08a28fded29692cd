#include "core/text_file.h"

#include "core/folders.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

QByteArray TextFile::read(const QString &path, bool *ok)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (ok)
            *ok = false;
        return QByteArray();
    }
    const QByteArray all = f.readAll();
    if (ok)
        *ok = f.error() == QFileDevice::NoError;
    return all;
}

bool TextFile::write(const QString &path, const QByteArray &bytes, QString *error, int mode)
{
    // A new file beside the old one, renamed over it: the old file or the new
    // one, never half of either. No sync to disk here: the pack register is
    // rewritten for every pack, and a sync each time would cost more than the
    // transfer itself; a rename is what keeps a crashed process from leaving
    // a torn file.
    const QString temp = path + QStringLiteral(".part");
    const auto failed = [&](int number) {
        if (error)
            *error = path + QStringLiteral(": ") + Folders::systemReason(number);
        return false;
    };
    // Opened by hand for the system's own reason when it fails ("Read-only
    // file system", "No space left on device"); an old temporary file of
    // any kind goes first, and a link planted in its place is not followed.
    const QByteArray native = QFile::encodeName(temp);
    ::unlink(native.constData());
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return failed(errno);
    qsizetype done = 0;
    int failure = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0) {
            failure = n < 0 ? errno : ENOSPC;
            break;
        }
        done += n;
    }
    if (::close(fd) != 0 && failure == 0)
        failure = errno;
    if (failure == 0 && ::rename(native.constData(), QFile::encodeName(path).constData()) != 0)
        failure = errno;
    if (failure != 0) {
        ::unlink(native.constData());
        return failed(failure);
    }
    return true;
}

bool TextFile::appendLine(const QString &path, const QByteArray &line)
{
    QByteArray all = read(path);
    all += line;
    all += "\r\n";
    return write(path, all);
}
