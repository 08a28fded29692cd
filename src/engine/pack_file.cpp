#include "engine/pack_file.h"

#include "core/folders.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

PackFile::~PackFile()
{
    close();
}

bool PackFile::open(const QString &path, qint64 position)
{
    close();
    m_error.clear();
    m_path = path;
    if (position < 0) {
        m_error = QStringLiteral("Negative write position");
        return false;
    }
    // A link planted in the pack's place is never written through: the bytes
    // go into a file of the download folder, or nowhere. Only a regular file
    // is a pack.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int failure = fd < 0 ? errno : EINVAL;
        m_error = fd >= 0 || failure != ELOOP ? Folders::systemReason(failure)
                                              : QStringLiteral("a symbolic link is in the pack's place");
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    // Unbuffered: every write is handed to the system at once, so a failing
    // disk shows up at the write that failed, not at some later flush.
    if (!m_file.open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        m_error = m_file.errorString();
        ::close(fd);
        return false;
    }
    const qint64 length = m_file.size();
    if (length < position) {
        m_error = QStringLiteral("Pack file holds %1 bytes, %2 expected").arg(length).arg(position);
        m_file.close();
        return false;
    }
    // Bytes after the write position were never counted as stored: they go, so
    // that the file always holds exactly the stored bytes of its pack.
    if ((length > position && !m_file.resize(position)) || !m_file.seek(position)) {
        m_error = m_file.errorString();
        m_file.close();
        return false;
    }
    m_position = position;
    return true;
}

bool PackFile::write(const char *data, qint64 size)
{
    if (!m_file.isOpen())
        return false;
    if (size <= 0)
        return true;
    qint64 done = 0;
    while (done < size) {
        const qint64 n = m_file.write(data + done, size - done);
        if (n <= 0) {
            m_error = m_file.errorString();
            // What went in partly is cut off again, so that position() stays
            // the file's true length.
            m_file.resize(m_position);
            m_file.seek(m_position);
            return false;
        }
        done += n;
    }
    m_position += size;
    return true;
}

void PackFile::close()
{
    if (m_file.isOpen())
        m_file.close();
}
