#include "engine/work_file.h"

#include "core/folders.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

WorkFile::~WorkFile()
{
    close();
}

bool WorkFile::fail(int error)
{
    m_error = Folders::systemReason(error);
    m_noRoom = error == ENOSPC || error == EDQUOT;
    close();
    return false;
}

bool WorkFile::open(const QString &path, qint64 size)
{
    close();
    m_path = path;
    m_size = size;
    m_error.clear();
    m_noRoom = false;
    // A link planted in the file's place is never written through: the bytes
    // go into a file of the download folder, or nowhere.
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        const int error = errno;
        m_error = error == ELOOP ? QStringLiteral("a symbolic link is in the file's place") : Folders::systemReason(error);
        return false;
    }
    struct stat st;
    if (::fstat(m_fd, &st) != 0)
        return fail(errno);
    if (!S_ISREG(st.st_mode))
        return fail(EINVAL);
    if (size < 0)
        return ::ftruncate(m_fd, 0) == 0 || fail(errno);
    if (st.st_size > size && ::ftruncate(m_fd, off_t(size)) != 0)
        return fail(errno);
    // Every block is taken now, so that the disk cannot fill under the
    // download; a file system that cannot allocate ahead gets the length
    // alone (its blocks are then taken as the bytes come).
    if (size > 0 && ::fallocate(m_fd, 0, 0, off_t(size)) != 0) {
        const int error = errno;
        if (error != EOPNOTSUPP && error != ENOSYS && error != EINVAL) {
            // A failed allocation may leave part of it: the file keeps its length.
            const bool cut = ::ftruncate(m_fd, std::min<off_t>(st.st_size, off_t(size))) == 0;
            Q_UNUSED(cut);
            return fail(error);
        }
        if (st.st_size < size && ::ftruncate(m_fd, off_t(size)) != 0)
            return fail(errno);
    }
    return true;
}

bool WorkFile::stillInPlace() const
{
    struct stat mine, there;
    return m_fd >= 0 && ::fstat(m_fd, &mine) == 0 && ::lstat(QFile::encodeName(m_path).constData(), &there) == 0
           && mine.st_dev == there.st_dev && mine.st_ino == there.st_ino && (m_size < 0 || mine.st_size == m_size);
}

bool WorkFile::write(qint64 offset, const char *data, qint64 size)
{
    if (m_fd < 0) {
        // Why it could not be opened, if it was tried.
        if (m_error.isEmpty())
            m_error = QStringLiteral("The work file is not open");
        return false;
    }
    if (offset < 0 || (m_size >= 0 && offset + size > m_size)) {
        m_error = QStringLiteral("Bytes outside the file");
        return false;
    }
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(m_fd, data + done, size_t(size - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_error = Folders::systemReason(n < 0 ? errno : EIO);
            return false;
        }
        done += n;
    }
    return true;
}

bool WorkFile::setLength(qint64 size)
{
    if (m_fd < 0 || size < 0 || ::ftruncate(m_fd, off_t(size)) != 0)
        return false;
    m_size = size;
    return true;
}

bool WorkFile::sync()
{
    return m_fd >= 0 && ::fdatasync(m_fd) == 0;
}

void WorkFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
