#include "engine/project_resume.h"

#include "core/folders.h"
#include "core/text_file.h"
#include "engine/pack_register.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
// Writes the first `length` bytes of pack file `from` at offset `at` of the
// work file fd.
bool copyInPlace(int fd, const QString &from, qint64 at, qint64 length)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = in.read(length);
    return bytes.size() == length && ::pwrite(fd, bytes.constData(), size_t(length), off_t(at)) == length;
}
} // namespace

ProjectResume::State ProjectResume::reconcile(const FinalAssembler::Input &in, const QString &registerPath)
{
    State st;
    PackRegister reg(registerPath);
    const QString work = FinalAssembler::workFilePath(in);
    // Only regular files of the project's own folder are its data: anything
    // else in the place of the work file or a pack (a link planted there) is
    // dropped, never followed or read.
    const auto dropIfNotRegular = [](const QString &path) {
        if (Folders::taken(path) && Folders::regularFileSize(path) < 0)
            ::unlink(QFile::encodeName(path).constData());
    };
    dropIfNotRegular(work);
    const qint64 length = Folders::regularFileSize(work);
    QList<qint64> stored(std::max<qint64>(in.packCount, 0), 0);
    const auto keep = [&](qint64 k, qint64 bytes) {
        if (k >= 0 && k < in.packCount)
            stored[k] = std::clamp(bytes, stored[k], FinalAssembler::packLength(in, k));
    };
    if (length >= 0 && length == FinalAssembler::fileBytes(in)) {
        for (const QByteArray &line : reg.lines()) {
            if (line.endsWith(":1"))
                keep(FinalAssembler::packNumber(in, QString::fromUtf8(line.chopped(2))), in.packSize);
        }
        const QHash<qint64, qint64> progress = reg.progress();
        for (auto it = progress.cbegin(); it != progress.cend(); ++it)
            keep(it.key(), it.value());
    } else if (length > 0 && in.packSize > 0) {
        // An earlier version's work file holds the packs it joined, from the
        // start; its register's lines name pack files.
        for (qint64 k = 0; k < length / in.packSize; ++k)
            keep(k, in.packSize);
    }
    // Pack files of an earlier version go into the work file in place.
    const QStringList packFiles = QDir(in.folder).entryList({QStringLiteral("*(*).zov")}, QDir::Files | QDir::System | QDir::Hidden);
    int fd = -1;
    for (const QString &name : packFiles) {
        const QString path = in.folder + name;
        const qint64 k = FinalAssembler::packNumber(in, path);
        if (k < 0)
            continue;
        dropIfNotRegular(path);
        const qint64 onDisk = Folders::regularFileSize(path);
        if (onDisk > stored[k] && onDisk <= FinalAssembler::packLength(in, k)) {
            if (fd < 0)
                fd = ::open(QFile::encodeName(work).constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0 || !copyInPlace(fd, path, k * in.packSize, onDisk)) {
                st.error = (fd < 0 ? work : path) + QStringLiteral(": ") + Folders::systemReason(errno ? errno : EIO);
                break;
            }
            stored[k] = onDisk;
        }
        QFile::remove(path);
    }
    if (fd >= 0)
        ::close(fd);
    if (!st.error.isEmpty())
        return st;

    QByteArray lines;
    QHash<qint64, qint64> carried;
    for (qint64 k = 0; k < in.packCount; ++k) {
        if (stored[k] == FinalAssembler::packLength(in, k)) {
            lines += FinalAssembler::packFilePath(in.folder, in.baseName, k).toUtf8() + ":1\r\n";
            st.completeBytes += stored[k];
        } else {
            st.pending.append({k, stored[k]});
            st.storedBytes += stored[k];
            if (stored[k] > 0)
                carried.insert(k, stored[k]);
        }
    }
    st.storedBytes += st.completeBytes;
    if (!reg.rewrite(lines))
        st.error = registerPath + QStringLiteral(": cannot be written");
    else if (!reg.rewriteProgress(carried))
        st.error = reg.progressPath() + QStringLiteral(": cannot be written");
    return st;
}

ProjectResume::Elapsed ProjectResume::readTimeFile(const QString &path)
{
    const QByteArray text = TextFile::read(path);
    const auto value = [&text](const QByteArray &key) {
        const qsizetype at = text.indexOf(key);
        if (at < 0)
            return 0;
        const qsizetype from = at + key.size();
        const qsizetype end = text.indexOf("\r\n", from);
        bool ok = false;
        const int v = text.mid(from, end < 0 ? -1 : end - from).trimmed().toInt(&ok);
        return ok && v >= 0 ? v : 0;
    };
    return {value("h:"), value("min:"), value("sec:")};
}

bool ProjectResume::writeTimeFile(const QString &path, const Elapsed &t)
{
    return TextFile::write(path, "sec:" + QByteArray::number(t.s) + "\r\nmin:" + QByteArray::number(t.m)
                                     + "\r\nh:" + QByteArray::number(t.h) + "\r\n");
}
