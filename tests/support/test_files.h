#pragma once
#include <QByteArray>
#include <QString>

// Files as the tests make and compare them.
namespace TestFiles {
// size bytes that depend on seed only, the same on every run.
QByteArray randomBytes(qint64 size, quint32 seed);
// The whole file, or "<missing>" when it cannot be read.
QByteArray read(const QString &path);
bool write(const QString &path, const QByteArray &bytes);
} // namespace TestFiles
