#include "engine/final_assembler.h"

#include "core/folders.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

QString FinalAssembler::packFilePath(const QString &folder, const QString &baseName, qint64 pack)
{
    static constexpr qsizetype NameMax = 255;
    const QString suffix = QLatin1Char('(') + QString::number(pack) + QStringLiteral(").zov");
    QString base = baseName;
    while (!base.isEmpty() && QFile::encodeName(base).size() + suffix.size() > NameMax) {
        base.chop(1);
        if (!base.isEmpty() && base.back().isHighSurrogate())
            base.chop(1);
    }
    return folder + base + suffix;
}

qint64 FinalAssembler::packLength(const Input &in, qint64 pack)
{
    if (pack == in.packCount - 1 && in.lastSize > 0)
        return in.lastSize;
    return in.packSize;
}

QList<qint64> FinalAssembler::incompletePacks(const Input &in, qint64 from)
{
    QList<qint64> bad;
    for (qint64 k = std::max<qint64>(from, 0); k < in.packCount; ++k) {
        if (Folders::regularFileSize(packFilePath(in.folder, in.baseName, k)) < packLength(in, k))
            bad.append(k);
    }
    return bad;
}

namespace {
// Appends length bytes from the start of from to the end of to. The kernel
// copies between the two files where it can; a plain loop through a bounded
// buffer does it otherwise.
bool appendBytes(int to, int from, qint64 length)
{
    qint64 left = length;
    off_t inOff = 0;
    // copy_file_range refuses a target opened for appending, so the target's
    // own offset is moved to its end instead.
    if (::lseek(to, 0, SEEK_END) < 0)
        return false;
    while (left > 0) {
        const ssize_t n = ::copy_file_range(from, &inOff, to, nullptr, size_t(left), 0);
        if (n <= 0)
            break;
        left -= n;
    }
    if (left == 0)
        return true;
    static constexpr qint64 Chunk = 1 << 20;
    QByteArray buffer(Chunk, Qt::Uninitialized);
    while (left > 0) {
        const ssize_t r = ::pread(from, buffer.data(), size_t(qMin(left, Chunk)), inOff);
        if (r <= 0)
            return false;
        qint64 done = 0;
        while (done < r) {
            const ssize_t w = ::write(to, buffer.constData() + done, size_t(r - done));
            if (w <= 0)
                return false;
            done += w;
        }
        inOff += r;
        left -= r;
    }
    return true;
}
} // namespace

QString FinalAssembler::workFilePath(const Input &in)
{
    return in.folder + QStringLiteral("final.zov");
}

qint64 FinalAssembler::joinedBytes(const Input &in, qint64 joined)
{
    // Every pack is packSize long but the short last one.
    if (joined <= 0 || in.packCount <= 0)
        return 0;
    if (joined < in.packCount)
        return joined * in.packSize;
    return (in.packCount - 1) * in.packSize + packLength(in, in.packCount - 1);
}

namespace {
// Appends packs [from, to) to the work file, which holds packs 0 .. from-1.
// On failure *error names the file and the system's reason.
bool appendPacks(const FinalAssembler::Input &in, qint64 from, qint64 to, QString *error)
{
    const QString work = FinalAssembler::workFilePath(in);
    // Neither the work file nor a pack is ever a link to somewhere else.
    const int out = ::open(QFile::encodeName(work).constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0) {
        if (error)
            *error = work + QStringLiteral(": ") + Folders::systemReason(errno);
        return false;
    }
    // Anything past the packs already joined (a write cut short) goes first.
    const off_t keep = off_t(FinalAssembler::joinedBytes(in, from));
    const off_t size = ::lseek(out, 0, SEEK_END);
    bool ok = size >= 0 && (size == keep || ::ftruncate(out, keep) == 0);
    int failure = ok ? 0 : errno;
    QString failed = work;
    for (qint64 k = from; k < to && ok; ++k) {
        const QString pack = FinalAssembler::packFilePath(in.folder, in.baseName, k);
        const int src = ::open(QFile::encodeName(pack).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (src < 0) {
            failure = errno;
            failed = pack;
            ok = false;
            break;
        }
        ok = appendBytes(out, src, FinalAssembler::packLength(in, k));
        if (!ok)
            failure = errno ? errno : EIO;
        ::close(src);
    }
    if (::close(out) != 0 && ok) {
        failure = errno;
        ok = false;
    }
    if (!ok) {
        // Whatever went in partly is cut off: the work file's length keeps
        // saying exactly which packs it holds.
        ::truncate(QFile::encodeName(work).constData(), off_t(FinalAssembler::joinedBytes(in, from)));
        if (error)
            *error = failed + QStringLiteral(": ") + Folders::systemReason(failure);
    }
    return ok;
}
} // namespace

bool FinalAssembler::joinNext(const Input &in, qint64 joined, QString *error)
{
    if (joined < 0 || joined >= in.packCount)
        return false;
    const QString packPath = packFilePath(in.folder, in.baseName, joined);
    if (Folders::regularFileSize(packPath) < packLength(in, joined))
        return false;
    if (joined == 0)
        QFile::remove(workFilePath(in));
    else if (Folders::regularFileSize(workFilePath(in)) != joinedBytes(in, joined)) {
        if (error)
            *error = workFilePath(in) + QStringLiteral(": does not hold the packs joined so far");
        return false;
    }
    if (!appendPacks(in, joined, joined + 1, error))
        return false;
    QFile::remove(packPath);
    return true;
}

bool FinalAssembler::assemble(const Input &in, qint64 *joined, QList<qint64> *incomplete, QString *error)
{
    incomplete->clear();
    const QString work = workFilePath(in);
    qint64 have = std::clamp<qint64>(*joined, 0, in.packCount);
    // The work file holds what its length says, whatever was believed: packs it
    // lost (a crash before its bytes reached the disk) are fetched again, and
    // bytes past the packs joined are cut off.
    const qint64 size = std::max<qint64>(Folders::regularFileSize(work), 0);
    if (size < joinedBytes(in, have)) {
        const qint64 kept = in.packSize > 0 ? std::min(have, size / in.packSize) : 0;
        for (qint64 k = kept; k < have; ++k)
            incomplete->append(k);
        have = kept;
    }
    if (have > 0 && ::truncate(QFile::encodeName(work).constData(), off_t(joinedBytes(in, have))) != 0) {
        if (error)
            *error = work + QStringLiteral(": ") + Folders::systemReason(errno);
        return false;
    }
    *joined = have;
    for (qint64 k : incompletePacks(in, have)) {
        if (!incomplete->contains(k))
            incomplete->append(k);
    }
    if (!incomplete->isEmpty()) {
        std::sort(incomplete->begin(), incomplete->end());
        if (error)
            *error = QStringLiteral("Some packs are missing or incomplete.");
        return false;
    }
    if (have == 0)
        QFile::remove(work);
    if (!appendPacks(in, have, in.packCount, error))
        return false;
    for (qint64 k = have; k < in.packCount; ++k)
        QFile::remove(packFilePath(in.folder, in.baseName, k));
    *joined = in.packCount;
    // One rename, which never replaces anything: a name taken meanwhile, or a
    // destination that vanished, leaves the joined file whole where it is.
    if (!Folders::moveNoReplace(work, in.destination)) {
        if (error)
            *error = in.destination + QStringLiteral(": ") + Folders::systemReason(errno);
        return false;
    }
    return true;
}
