#include "app/text_file.h"

#include <QFile>
#include <QSaveFile>

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
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    if (f.write(bytes) != bytes.size()) {
        f.cancelWriting();
        return false;
    }
    return f.commit();
}

bool TextFile::appendLine(const QString &path, const QByteArray &line)
{
    QByteArray all = read(path);
    all += line;
    all += "\r\n";
    return write(path, all);
}
