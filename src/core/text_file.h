#pragma once
#include <QByteArray>
#include <QString>

// Whole-file reads and atomic whole-file writes for the program's text files
// (list file, project files, pack register, time file, statistics). Text is kept
// as bytes: nothing is re-encoded, lines end with CR LF as the caller wrote them.
class TextFile
{
public:
    // The whole file, or an empty array when it is missing or unreadable;
    // ok (when given) tells which.
    static QByteArray read(const QString &path, bool *ok = nullptr);
    // Replaces the file at once: a crash leaves the old file or the new one,
    // never half of either. Returns false when the file could not be written,
    // with "path: reason" in error (when given). mode: the new file's
    // permissions (0600 for what only the user may read).
    static bool write(const QString &path, const QByteArray &bytes, QString *error = nullptr, int mode = 0644);
    // Appends one line (bytes + CR LF) by rewriting the whole file atomically.
    static bool appendLine(const QString &path, const QByteArray &line);
};
