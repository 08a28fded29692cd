#include "engine/final_assembler.h"

#include "core/folders.h"

#include <QFile>

#include <cerrno>

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

qint64 FinalAssembler::packNumber(const Input &in, const QString &packFile)
{
    const qsizetype open = packFile.lastIndexOf(QLatin1Char('('));
    if (open < 0 || !packFile.endsWith(QLatin1String(").zov")))
        return -1;
    bool ok = false;
    const qint64 k = QStringView(packFile).mid(open + 1, packFile.size() - open - 6).toLongLong(&ok);
    return ok && k >= 0 && k < in.packCount && packFilePath(in.folder, in.baseName, k) == packFile ? k : -1;
}

qint64 FinalAssembler::packLength(const Input &in, qint64 pack)
{
    if (pack == in.packCount - 1 && in.lastSize > 0)
        return in.lastSize;
    return in.packSize;
}

QString FinalAssembler::workFilePath(const Input &in)
{
    return in.folder + QStringLiteral("final.zov");
}

qint64 FinalAssembler::fileBytes(const Input &in)
{
    return in.packCount <= 0 ? 0 : (in.packCount - 1) * in.packSize + packLength(in, in.packCount - 1);
}

bool FinalAssembler::place(const Input &in, QString *error)
{
    const QString work = workFilePath(in);
    if (Folders::regularFileSize(work) != fileBytes(in)) {
        if (error)
            *error = work + QStringLiteral(": is gone or does not hold the file");
        return false;
    }
    if (!Folders::moveNoReplace(work, in.destination)) {
        if (error)
            *error = in.destination + QStringLiteral(": ") + Folders::systemReason(errno);
        return false;
    }
    return true;
}
