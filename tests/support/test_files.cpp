#include "support/test_files.h"

#include <QFile>
#include <QRandomGenerator>

QByteArray TestFiles::randomBytes(qint64 size, quint32 seed)
{
    QByteArray b(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    for (qint64 i = 0; i < size; ++i)
        b[i] = char(gen.bounded(256));
    return b;
}

QByteArray TestFiles::read(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

bool TestFiles::write(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}
