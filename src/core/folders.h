#pragma once
#include <QString>

// Folders the program writes into.
class Folders
{
public:
    // Creates folder and every folder above it that is missing. False, with
    // "path: reason" in the system's words, when one cannot be made (a file of
    // that name is in the way, no permission, a read-only disk).
    static bool make(const QString &folder, QString *failure);
    // The system's words for an errno value ("No space left on device").
    static QString systemReason(int error);
};
