#include "engine/pack_register.h"

#include "core/folders.h"
#include "core/text_file.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
// A progress record: "<pack>:<stored>", blanks, CR LF; a fixed length, so that
// record n is rewritten in place and never straddles two pages of the file
// (a kill leaves it old or new, never half of each).
constexpr qsizetype RecordBytes = 64;

QByteArray record(qint64 pack, qint64 stored)
{
    QByteArray r = QByteArray::number(pack) + ':' + QByteArray::number(stored);
    return r.leftJustified(RecordBytes - 2, ' ') + "\r\n";
}
} // namespace

PackRegister::PackRegister(QString path) : m_path(std::move(path)) {}

PackRegister::~PackRegister()
{
    flush();
    closeFiles();
}

PackRegister &PackRegister::operator=(PackRegister &&other) noexcept
{
    if (this != &other) {
        flush();
        closeFiles();
        m_path = std::move(other.m_path);
        m_queued = std::move(other.m_queued);
        std::swap(m_fd, other.m_fd);
        std::swap(m_progressFd, other.m_progressFd);
    }
    return *this;
}

void PackRegister::closeFiles()
{
    for (int *fd : {&m_fd, &m_progressFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

QString PackRegister::progressPath() const
{
    return QFileInfo(m_path).path() + QStringLiteral("/progress.zov");
}

bool PackRegister::append(const QByteArray &packFile, char state, QString *error)
{
    queue(packFile, state);
    return flush(error);
}

bool PackRegister::flush(QString *error)
{
    if (m_queued.isEmpty())
        return true;
    if (m_fd < 0)
        m_fd = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        if (error)
            *error = Folders::systemReason(errno);
        return false;
    }
    // One write: the lines go in whole or (a full disk) not at all.
    const bool ok = ::write(m_fd, m_queued.constData(), size_t(m_queued.size())) == ssize_t(m_queued.size());
    if (!ok && error)
        *error = Folders::systemReason(errno);
    m_queued.clear();
    return ok;
}

QList<QByteArray> PackRegister::lines()
{
    flush();
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
    return !dropped || rewrite(kept);
}

bool PackRegister::rewrite(const QByteArray &text)
{
    // The file is replaced: the one kept open for appending is not it any more.
    m_queued.clear();
    closeFiles();
    return TextFile::write(m_path, text);
}

bool PackRegister::noteProgress(int record_, qint64 pack, qint64 stored)
{
    if (m_progressFd < 0)
        m_progressFd = ::open(QFile::encodeName(progressPath()).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const QByteArray r = record(pack, stored);
    return m_progressFd >= 0 && ::pwrite(m_progressFd, r.constData(), size_t(r.size()), off_t(record_) * RecordBytes) == r.size();
}

QHash<qint64, qint64> PackRegister::progress() const
{
    QHash<qint64, qint64> said;
    const QByteArray all = TextFile::read(progressPath());
    for (qsizetype at = 0; at + RecordBytes <= all.size(); at += RecordBytes) {
        const QByteArray r = all.mid(at, RecordBytes).trimmed();
        const qsizetype colon = r.indexOf(':');
        bool okPack = false, okStored = false;
        const qint64 pack = r.left(colon).toLongLong(&okPack);
        const qint64 stored = r.mid(colon + 1).toLongLong(&okStored);
        if (colon > 0 && okPack && okStored && pack >= 0 && stored > 0)
            said[pack] = std::max(said.value(pack), stored);
    }
    return said;
}

bool PackRegister::forgetProgress(qint64 pack)
{
    QHash<qint64, qint64> kept = progress();
    return kept.remove(pack) == 0 || rewriteProgress(kept);
}

bool PackRegister::rewriteProgress(const QHash<qint64, qint64> &carried)
{
    closeFiles();
    QByteArray text;
    for (int n = 0; n < SlotRecords; ++n)
        text += record(-1, 0);
    for (auto it = carried.cbegin(); it != carried.cend(); ++it)
        text += record(it.key(), it.value());
    return TextFile::write(progressPath(), text);
}
