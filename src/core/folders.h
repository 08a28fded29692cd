#pragma once
#include <QString>

// Folders and files the program writes into, made so that nothing of the
// user's is ever taken over or replaced.
class Folders
{
public:
    // Creates folder and every folder above it that is missing. False, with
    // "path: reason" in the system's words, when one cannot be made (a file of
    // that name is in the way, no permission, a read-only disk).
    static bool make(const QString &folder, QString *failure);
    // Creates a new, empty folder named name in parent (made first when
    // missing), or "name (1)", "name (2)"... when the name is taken by anything
    // at all: a folder that exists is never taken over. Returns its path
    // ending with "/", or an empty text with *failure = "path: reason".
    static QString makeFresh(const QString &parent, const QString &name, QString *failure);
    // The first name in folder (which ends with "/") that nothing holds:
    // fileName itself, else "name (1).ext", "name (2).ext"... The extension is
    // what follows the last "." ("a.tar.gz" gives "a (1).tar.gz").
    static QString freeName(const QString &folder, const QString &fileName);
    // fileName with " (n)" before its extension; n = 0 leaves it as it is.
    static QString numberedName(const QString &fileName, int n);
    // Moves from to to without ever replacing what is at to: false with errno
    // EEXIST when to is taken.
    static bool moveNoReplace(const QString &from, const QString &to);
    // Whether anything is at path, a dangling symbolic link included.
    static bool taken(const QString &path);
    // Whether path (with or without its last "/") is a folder itself, not a
    // symbolic link to one.
    static bool isRealFolder(const QString &path);
    // The length of the regular file at path, -1 when there is none: a
    // symbolic link (whatever it points to), a folder or a missing file.
    static qint64 regularFileSize(const QString &path);
    // The system's words for an errno value ("No space left on device").
    static QString systemReason(int error);
};
