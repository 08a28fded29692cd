#include "engine/pack_register.h"

#include "core/folders.h"
#include "core/text_file.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

PackRegister::PackRegister(QString path) : m_path(std::move(path)) {}

bool PackRegister::append(const QByteArray &packFile, char state, QString *error)
{
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error)
            *error = Folders::systemReason(errno);
        return false;
    }
    const QByteArray line = packFile + ':' + state + "\r\n";
    const bool ok = ::write(fd, line.constData(), size_t(line.size())) == ssize_t(line.size());
    const int saved = errno;
    ::close(fd);
    if (!ok && error)
        *error = Folders::systemReason(saved);
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
    return !dropped || TextFile::write(m_path, kept);
}
