#pragma once
#include <QList>
#include <QString>

// Joins a project's pack files, in pack order, into the finished file.
//
// The pack files are "<folder><base>(<k>).zov" for k = 0 .. N-1; pack k
// contributes packSize bytes, the last one lastSize bytes when lastSize > 0. The
// bytes go into the work file "<folder>final.zov", which is then moved to the
// destination. Packs are joined one by one while the download runs (joinNext),
// as soon as they and every pack before them are complete, and each pack file
// is deleted once its bytes are in the work file: the disk holds the file's size
// plus the packs in progress, not twice the file. The work file's length says
// which packs are joined; a crash between a join and the deletion leaves a pack
// file that the work file already holds, never a gap. Every pack not yet joined
// is checked before the end: a pack file that is missing or shorter than its
// pack makes the assembly stop with nothing moved and report that pack, so that
// it is fetched again; the result never holds a byte that was not downloaded.
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
    static qint64 packLength(const Input &in, qint64 pack);

    // Packs from `from` on whose file is missing or too short.
    static QList<qint64> incompletePacks(const Input &in, qint64 from = 0);

    static QString workFilePath(const Input &in);
    // Bytes of packs 0 .. joined-1.
    static qint64 joinedBytes(const Input &in, qint64 joined);

    // Appends pack `joined` to the work file, which holds packs 0 .. joined-1
    // (pack 0 starts a new work file), and deletes the pack file. False, with
    // nothing appended, when the pack file is short, or when the work file is
    // not what it should be or writing failed (then error says "file: reason").
    static bool joinNext(const Input &in, qint64 joined, QString *error = nullptr);

    // Returns true when the destination holds the joined file and the pack files
    // are gone. *joined: packs already in the work file; a work file shorter
    // than that lost packs, which are listed to fetch again (and *joined goes
    // back to what it really holds). On false, *incomplete lists the packs to
    // fetch again; when it is empty, writing or moving the result failed: error
    // says what and why, and a joined file that could not be moved stays whole
    // at workFilePath().
    static bool assemble(const Input &in, qint64 *joined, QList<qint64> *incomplete, QString *error = nullptr);
};
