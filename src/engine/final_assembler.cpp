#include "engine/final_assembler.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

QString FinalAssembler::packFilePath(const QString &folder, const QString &baseName, qint64 pack)
{
    return folder + baseName + QLatin1Char('(') + QString::number(pack) + QStringLiteral(").zov");
}

qint64 FinalAssembler::packLength(const Input &in, qint64 pack)
{
    if (pack == in.packCount - 1 && in.lastSize > 0)
        return in.lastSize;
    return in.packSize;
}

QList<qint64> FinalAssembler::incompletePacks(const Input &in)
{
    QList<qint64> bad;
    for (qint64 k = 0; k < in.packCount; ++k) {
        const QFileInfo fi(packFilePath(in.folder, in.baseName, k));
        if (!fi.exists() || fi.size() < packLength(in, k))
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
    qint64 bytes = 0;
    for (qint64 k = 0; k < joined && k < in.packCount; ++k)
        bytes += packLength(in, k);
    return bytes;
}

namespace {
// Appends packs [from, to) to the work file, which holds packs 0 .. from-1.
bool appendPacks(const FinalAssembler::Input &in, qint64 from, qint64 to)
{
    const QByteArray workPath = QFile::encodeName(FinalAssembler::workFilePath(in));
    const int out = ::open(workPath.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (out < 0)
        return false;
    // Anything past the packs already joined (a write cut short) goes first.
    const off_t keep = off_t(FinalAssembler::joinedBytes(in, from));
    const off_t size = ::lseek(out, 0, SEEK_END);
    bool ok = size >= 0 && (size == keep || ::ftruncate(out, keep) == 0);
    for (qint64 k = from; k < to && ok; ++k) {
        const QString pack = FinalAssembler::packFilePath(in.folder, in.baseName, k);
        const int src = ::open(QFile::encodeName(pack).constData(), O_RDONLY | O_CLOEXEC);
        ok = src >= 0 && appendBytes(out, src, FinalAssembler::packLength(in, k));
        if (src >= 0)
            ::close(src);
    }
    return (::close(out) == 0) && ok;
}
} // namespace

bool FinalAssembler::joinNext(const Input &in, qint64 joined)
{
    if (joined < 0 || joined >= in.packCount)
        return false;
    const QFileInfo pack(packFilePath(in.folder, in.baseName, joined));
    if (!pack.exists() || pack.size() < packLength(in, joined))
        return false;
    if (joined == 0)
        QFile::remove(workFilePath(in));
    else if (QFileInfo(workFilePath(in)).size() != joinedBytes(in, joined))
        return false;
    return appendPacks(in, joined, joined + 1);
}

bool FinalAssembler::assemble(const Input &in, QList<qint64> *incomplete, QString *error, qint64 joined)
{
    if (incomplete)
        incomplete->clear();
    const QList<qint64> bad = incompletePacks(in);
    if (!bad.isEmpty()) {
        if (incomplete)
            *incomplete = bad;
        if (error)
            *error = QStringLiteral("Some packs are missing or incomplete.");
        return false;
    }
    const QString work = workFilePath(in);
    // Packs joined while the download ran are kept when the work file still
    // holds exactly them; otherwise the join starts again from pack 0.
    if (joined <= 0 || joined > in.packCount || QFileInfo(work).size() != joinedBytes(in, joined)) {
        joined = 0;
        QFile::remove(work);
    }
    if (!appendPacks(in, joined, in.packCount)) {
        if (error)
            *error = QStringLiteral("Cannot write %1.").arg(work);
        return false;
    }
    for (qint64 k = 0; k < in.packCount; ++k)
        QFile::remove(packFilePath(in.folder, in.baseName, k));
    QFile::remove(in.destination);
    if (!QFile::rename(work, in.destination)) {
        if (error)
            *error = QStringLiteral("Cannot move the finished file to %1.").arg(in.destination);
        return false;
    }
    return true;
}
