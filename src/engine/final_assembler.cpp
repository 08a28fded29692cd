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

bool FinalAssembler::assemble(const Input &in, QList<qint64> *incomplete, QString *error)
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
    const QString work = in.folder + QStringLiteral("final.zov");
    QFile::remove(work);
    const QByteArray workPath = QFile::encodeName(work);
    // The first pack becomes the work file, so its bytes are not copied at all.
    qint64 first = 0;
    if (in.packCount > 0 && QFile::rename(packFilePath(in.folder, in.baseName, 0), work)) {
        if (::truncate(workPath.constData(), off_t(packLength(in, 0))) != 0) {
            if (error)
                *error = QStringLiteral("Cannot write %1.").arg(work);
            return false;
        }
        first = 1;
    }
    const int to = ::open(workPath.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (to < 0) {
        if (error)
            *error = QStringLiteral("Cannot write %1.").arg(work);
        return false;
    }
    bool ok = true;
    for (qint64 k = first; k < in.packCount && ok; ++k) {
        const QString pack = packFilePath(in.folder, in.baseName, k);
        const int from = ::open(QFile::encodeName(pack).constData(), O_RDONLY | O_CLOEXEC);
        ok = from >= 0 && appendBytes(to, from, packLength(in, k));
        if (from >= 0)
            ::close(from);
    }
    ok = (::close(to) == 0) && ok;
    if (!ok) {
        // Give pack 0 its own file back, so that nothing downloaded is lost.
        if (first == 1 && ::truncate(workPath.constData(), off_t(packLength(in, 0))) == 0)
            QFile::rename(work, packFilePath(in.folder, in.baseName, 0));
        if (error)
            *error = QStringLiteral("Cannot write %1.").arg(work);
        return false;
    }
    for (qint64 k = first; k < in.packCount; ++k)
        QFile::remove(packFilePath(in.folder, in.baseName, k));
    QFile::remove(in.destination);
    if (!QFile::rename(work, in.destination)) {
        if (error)
            *error = QStringLiteral("Cannot move the finished file to %1.").arg(in.destination);
        return false;
    }
    return true;
}
