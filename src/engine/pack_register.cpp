#include "engine/pack_register.h"

#include "core/text_file.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

PackRegister::PackRegister(QString path) : m_path(std::move(path)) {}

namespace {
QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Cuts a torn last line off: the file ends after its last LF, or is empty.
bool cutTornTail(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    off_t end = st.st_size;
    char buffer[4096];
    while (end > 0) {
        const off_t from = end > off_t(sizeof buffer) ? end - off_t(sizeof buffer) : 0;
        const ssize_t n = ::pread(fd, buffer, size_t(end - from), from);
        if (n != ssize_t(end - from))
            return false;
        for (ssize_t i = n - 1; i >= 0; --i) {
            if (buffer[i] == '\n') {
                const off_t keep = from + i + 1;
                return keep == st.st_size || ::ftruncate(fd, keep) == 0;
            }
        }
        end = from;
    }
    return st.st_size == 0 || ::ftruncate(fd, 0) == 0;
}
} // namespace

bool PackRegister::append(const QByteArray &packFile, char state, QString *error)
{
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error)
            *error = systemReason(errno);
        return false;
    }
    bool ok = m_tailChecked || cutTornTail(fd);
    m_tailChecked = ok;
    const QByteArray line = packFile + ':' + state + "\r\n";
    ok = ok && ::write(fd, line.constData(), size_t(line.size())) == ssize_t(line.size());
    const int saved = errno;
    ::close(fd);
    if (!ok && error)
        *error = systemReason(saved);
    return ok;
}

QList<QByteArray> PackRegister::lines() const
{
    const QByteArray all = TextFile::read(m_path);
    QList<QByteArray> result = all.split('\n');
    // The piece after the last LF is empty, or a line a crash tore.
    result.removeLast();
    for (QByteArray &line : result) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return result;
}

bool PackRegister::addPauseNotes(const QList<QByteArray> &packFiles)
{
    QList<QByteArray> missing;
    const QList<QByteArray> present = lines();
    for (const QByteArray &file : packFiles) {
        const bool listed = std::any_of(present.begin(), present.end(), [&](const QByteArray &line) {
            return line.size() == file.size() + 2 && line.startsWith(file) && line[file.size()] == ':';
        });
        if (!listed)
            missing.append(file);
    }
    for (const QByteArray &file : missing) {
        if (!append(file, '0'))
            return false;
    }
    return true;
}

bool PackRegister::dropPauseNotes()
{
    const QList<QByteArray> present = lines();
    QByteArray kept;
    bool dropped = false;
    for (const QByteArray &line : present) {
        if (line.endsWith(":0")) {
            dropped = true;
            continue;
        }
        kept += line + "\r\n";
    }
    m_tailChecked = false;
    return !dropped || TextFile::write(m_path, kept);
}
