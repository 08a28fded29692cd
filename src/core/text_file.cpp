#include "core/text_file.h"

#include <QFile>

#include <cstdio>

QByteArray TextFile::read(const QString &path, bool *ok)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (ok)
            *ok = false;
        return QByteArray();
    }
    const QByteArray all = f.readAll();
    if (ok)
        *ok = f.error() == QFileDevice::NoError;
    return all;
}

bool TextFile::write(const QString &path, const QByteArray &bytes)
{
    // A new file beside the old one, renamed over it: the old file or the new
    // one, never half of either. No sync to disk here: the pack register is
    // rewritten for every pack, and a sync each time would cost more than the
    // transfer itself; a rename is what keeps a crashed process from leaving
    // a torn file.
    const QString temp = path + QStringLiteral(".part");
    QFile out(temp);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = out.write(bytes) == bytes.size();
    out.close();
    if (!written || out.error() != QFileDevice::NoError
        || ::rename(QFile::encodeName(temp).constData(), QFile::encodeName(path).constData()) != 0) {
        QFile::remove(temp);
        return false;
    }
    return true;
}

bool TextFile::appendLine(const QString &path, const QByteArray &line)
{
    QByteArray all = read(path);
    all += line;
    all += "\r\n";
    return write(path, all);
}
