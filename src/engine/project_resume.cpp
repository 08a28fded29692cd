#include "engine/project_resume.h"

#include "core/folders.h"
#include "core/text_file.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace {
// Packs the work file holds whole, from its length.
qint64 packsInWorkFile(const FinalAssembler::Input &in, qint64 length)
{
    if (in.packCount <= 0 || in.packSize <= 0)
        return 0;
    if (length >= FinalAssembler::joinedBytes(in, in.packCount))
        return in.packCount;
    return std::min(length / in.packSize, in.packCount - 1);
}
} // namespace

ProjectResume::State ProjectResume::reconcile(const FinalAssembler::Input &in, const QString &registerPath)
{
    State st;
    const QString work = FinalAssembler::workFilePath(in);
    // Only regular files of the project's own folder are its data: anything
    // else in the place of the work file or a pack (a link planted there) is
    // dropped, never followed or read.
    const auto dropIfNotRegular = [](const QString &path) {
        if (Folders::taken(path) && Folders::regularFileSize(path) < 0)
            ::unlink(QFile::encodeName(path).constData());
    };
    dropIfNotRegular(work);
    const qint64 length = std::max<qint64>(Folders::regularFileSize(work), 0);
    st.joined = packsInWorkFile(in, length);
    const qint64 keep = FinalAssembler::joinedBytes(in, st.joined);
    if (length > keep && ::truncate(QFile::encodeName(work).constData(), off_t(keep)) != 0) {
        // The tail cannot be cut: the packs behind it could never be joined.
        st.error = work + QStringLiteral(": ") + Folders::systemReason(errno);
        return st;
    }
    st.completeBytes = keep;

    QByteArray lines;
    for (qint64 k = 0; k < in.packCount; ++k) {
        const QString packPath = FinalAssembler::packFilePath(in.folder, in.baseName, k);
        dropIfNotRegular(packPath);
        const qint64 onDisk = Folders::regularFileSize(packPath);
        const qint64 size = FinalAssembler::packLength(in, k);
        qint64 stored = std::max<qint64>(onDisk, 0);
        if (k < st.joined || stored > size) {
            // Already in the work file, or a file that is not what this pack
            // can be: it goes.
            if (onDisk >= 0 && !QFile::remove(packPath) && k >= st.joined) {
                st.error = packPath + QStringLiteral(": cannot be removed");
                return st;
            }
            stored = k < st.joined ? size : 0;
        } else if (stored == size) {
            st.completeBytes += size;
        }
        if (stored == size) {
            lines += packPath.toUtf8() + ":1\r\n";
        } else {
            st.pending.append({k, stored});
            st.storedBytes += stored;
        }
    }
    st.storedBytes += st.completeBytes;
    if (!TextFile::write(registerPath, lines))
        st.error = registerPath + QStringLiteral(": cannot be written");
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
