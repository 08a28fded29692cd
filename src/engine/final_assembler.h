#pragma once
#include <QString>

// The finished file of a project, and the names its download gives its data.
//
// The slots write every pack in place into the work file "<folder>final.zov",
// which is as long as the finished file from the start; the pack register
// says which packs it holds. Once every pack is in, the work file is moved
// to the destination with one rename. Pack k is still named
// "<folder><base>(<k>).zov" in the register, as it always was: the name of
// its line, no file of its own (a project begun by an earlier version may
// still hold such pack files; the start-up reconciliation takes their bytes
// in, ProjectResume).
class FinalAssembler
{
public:
    struct Input
    {
        QString folder;       // the download folder, ending with "/"
        QString baseName;     // the file name up to its first "."
        QString destination;  // the finished file's full path
        qint64 packCount = 0;
        qint64 packSize = 0;
        qint64 lastSize = 0;  // 0 when the file size is a multiple of packSize
    };

    // A pack file's name never passes the 255 bytes a folder entry may have:
    // a base name too long for it is shortened (on a character boundary).
    static QString packFilePath(const QString &folder, const QString &baseName, qint64 pack);
    // The pack number a pack file name stands for; -1 when it names none of
    // this project's packs.
    static qint64 packNumber(const Input &in, const QString &packFile);
    static qint64 packLength(const Input &in, qint64 pack);
    static QString workFilePath(const Input &in);
    // The finished file's length.
    static qint64 fileBytes(const Input &in);

    // Moves the work file, which holds every pack, to the destination. One
    // rename, which never replaces anything: a name taken meanwhile, or a
    // destination that vanished, leaves the file whole where it is. False
    // with "file: reason" when the work file is not there at its length, or
    // the move failed.
    static bool place(const Input &in, QString *error = nullptr);
};
