#pragma once
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

// A project's pack register ("download.zov"): one CR LF ended line per pack,
// "<pack file>:1" once the pack is complete, "<pack file>:0" for a pack that was
// in progress at a pause. The pack file names pack k, whose bytes the slots
// write in place into the work file: the register is what says which packs
// the work file holds. Lines are appended through a file kept open, the lines
// of one chunk's packs in one write (queue(), then flush() once the chunk is
// in the file), so a pack costs the same whatever its number. A crash can leave a
// torn last line (no CR LF): it is ignored when the register is read, and
// every run begins by rewriting the register (ProjectResume), so no line is
// ever glued onto it.
//
// Beside it, "progress.zov" says how far the packs in progress are: one
// record per slot, rewritten in place after each chunk the slot wrote (pack
// number and bytes stored), so that a kill loses only what arrived after the
// last record; records past the slots' carry partial packs of an earlier run
// that no slot has taken up again.
class PackRegister
{
public:
    explicit PackRegister(QString path = QString());
    ~PackRegister();
    PackRegister(const PackRegister &) = delete;
    PackRegister &operator=(const PackRegister &) = delete;
    PackRegister &operator=(PackRegister &&other) noexcept;

    QString path() const { return m_path; }
    QString progressPath() const;

    // Appends "<packFile>:<state>" with one write. On failure error gets the
    // system's reason.
    bool append(const QByteArray &packFile, char state, QString *error = nullptr);
    // The same, written at the next flush() (every other call flushes first).
    void queue(const QByteArray &packFile, char state) { m_queued += packFile + ':' + state + "\r\n"; }
    bool flush(QString *error = nullptr);
    // The complete lines, without their CR LF.
    QList<QByteArray> lines();
    // Notes ":0" for each listed pack file that has no line yet.
    bool addPauseNotes(const QList<QByteArray> &packFiles);
    // Takes the ":0" notes out again (the packs are in progress once more).
    bool dropPauseNotes();
    // The register's whole text replaced (start-up reconciliation).
    bool rewrite(const QByteArray &text);

    // Record `record` (0..3: the slots; above: carried packs) says the first
    // `stored` bytes of pack `pack` are in the work file.
    bool noteProgress(int record, qint64 pack, qint64 stored);
    // What the records say: pack -> bytes stored (the most any record says).
    QHash<qint64, qint64> progress() const;
    // The records replaced by the carried ones given (pack -> bytes), the
    // slots' records empty.
    bool rewriteProgress(const QHash<qint64, qint64> &carried);
    // No record counts bytes of pack any more (they are being fetched anew).
    bool forgetProgress(qint64 pack);

    static constexpr int SlotRecords = 4;

private:
    void closeFiles();

    QString m_path;
    QByteArray m_queued;
    int m_fd = -1;
    int m_progressFd = -1;
};
