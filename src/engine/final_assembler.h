#pragma once
#include <QList>
#include <QString>

// Joins a project's pack files, in pack order, into the finished file.
//
// The pack files are "<folder><base>(<k>).zov" for k = 0 .. N-1; pack k
// contributes packSize bytes, the last one lastSize bytes when lastSize > 0. The
// bytes go through "<folder>final.zov", which is then moved to the destination
// (an existing file of that name is replaced). Every pack is checked before
// anything is joined: a pack file that is missing or shorter than its pack makes
// the assembly stop with nothing changed and report that pack, so that it is
// fetched again; the result never holds a byte that was not downloaded.
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

    static QString packFilePath(const QString &folder, const QString &baseName, qint64 pack);
    static qint64 packLength(const Input &in, qint64 pack);

    // Packs whose file is missing or too short.
    static QList<qint64> incompletePacks(const Input &in);

    // Returns true when the destination holds the joined file and the pack files
    // are gone. On false, *incomplete lists the packs to fetch again (empty when
    // the failure was writing the result; error says what went wrong).
    static bool assemble(const Input &in, QList<qint64> *incomplete, QString *error = nullptr);
};
