#pragma once
#include <QList>
#include <QString>

// Joins a project's pack files, in pack order, into the finished file.
//
// The pack files are "<folder><base>(<k>).zov" for k = 0 .. N-1; pack k
// contributes packSize bytes, the last one lastSize bytes when lastSize > 0. The
// bytes go into "<folder>final.zov", which is then moved to the destination (an
// existing file of that name is replaced). Packs can be joined one by one while
// the download runs (joinNext), as soon as they and every pack before them are
// complete, so that little is left to copy at the end; the pack files stay until
// the end, so a pause or a restart loses nothing. Every pack is checked before
// the end: a pack file that is missing or shorter than its pack makes the
// assembly stop with nothing moved and report that pack, so that it is fetched
// again; the result never holds a byte that was not downloaded.
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

    static QString workFilePath(const Input &in);
    // Bytes of packs 0 .. joined-1.
    static qint64 joinedBytes(const Input &in, qint64 joined);

    // Appends pack `joined` to the work file, which holds packs 0 .. joined-1
    // (pack 0 starts a new work file). False, with nothing appended, when the
    // pack file is short or the work file is not what it should be.
    static bool joinNext(const Input &in, qint64 joined);

    // Returns true when the destination holds the joined file and the pack files
    // are gone. joined: packs already in the work file (kept when its size
    // agrees). On false, *incomplete lists the packs to fetch again (empty when
    // the failure was writing the result; error says what went wrong).
    static bool assemble(const Input &in, QList<qint64> *incomplete, QString *error = nullptr,
                         qint64 joined = 0);
};
