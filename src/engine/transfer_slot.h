#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>

#include <algorithm>
#include <functional>

#include "engine/download_status.h"

class PackPlan;
class QTimer;
class Winsock;
class WorkFile;

// One transfer lane of the download, whatever the protocol: the slot crew
// hands it packs (setPack, from the plan's runs) and it fetches them into
// the work file, telling the crew through its signals. HttpSlot and
// FtpSlot are the two kinds; the crew (SlotCrew) holds the four slots of the
// running project's protocol.
//
// The slot stores what its protocol brings through one store loop
// (storeBody()): the body bytes go into the work file in place, at their
// offsets in the file, across the pack boundaries of the run. The plan belongs to the crew; the
// slot only reads it. When a pack is complete the slot tells packCompleted(),
// the crew moves the plan on there and then, and the slot goes on with the
// pack the plan now gives it (the next one of its run) or goes idle when its
// run is over. The crew never calls into a slot from a handler of that
// slot's signals: what it asks of the slots in return (more work, a pause)
// goes through the event loop, so a slot's own state changes only by its own
// hand while it handles its bytes.
//
// Failures are of three kinds, as told by the signals: network trouble is
// retried after 1, 2, 4 ... seconds and given up after MaxFailedAttempts in a
// row (gaveUp); a work file that cannot be written stops the slot
// (writeFailed); a file that is not the one the download began with stops it
// before a byte is stored (fileChanged).
class TransferSlot : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxFailedAttempts = DownloadStatus::MaxAttempts;
    static constexpr int DefaultStallTimeout = 30000;
    static constexpr int DefaultRetryDelay = 1000;
    // An attempt that brought at least this much starts the failure count afresh.
    static constexpr qint64 MeaningfulAttempt = 64 * 1024;

    TransferSlot(int number, QObject *parent);

    int number() const { return m_number; }
    // The socket the slot talks to the server on (the control connection of FTP).
    virtual Winsock *socket() const = 0;

    // Where the file is: host text (may end in ":port") and path.
    virtual void setTarget(const QString &host, const QString &path) = 0;
    // The running project's plan, read for the file's geometry and the slot's run.
    void setPlan(const PackPlan *plan) { m_plan = plan; }
    // The file the bytes go into, at their offsets (the crew's).
    void setWorkFile(WorkFile *file) { m_work = file; }
    // The pack in progress; stored = bytes of it already in the work file. When the
    // pack starts at the next byte of the stream in progress the bytes simply
    // go on; otherwise the slot asks from the pack's first missing byte to the
    // end of its run. A pack whose bytes are all stored already (a resumed
    // project) is completed at once, packCompleted() told from this call.
    void setPack(qint64 number, qint64 start, qint64 size, qint64 stored);
    // No pack for this slot.
    void setIdle();
    // Pause: every connection closed; the pack variables stay.
    void stop();
    virtual void setStallTimeout(int ms) = 0;
    void setRetryDelay(int ms) { m_retryDelay = std::max(0, ms); }

    // Error count reset (a resume after a pause starts afresh).
    void resetFailures() { m_failures = 0; }
    bool isBusy() const { return Paquet_Taille > 0; }

    // The pack in progress: its number, size (0 = idle) and the next write
    // position in the pack, 1-based (0 when idle).
    qint64 packNumber() const { return Paquet_Numero; }
    qint64 packSize() const { return Paquet_Taille; }
    qint64 writePosition() const { return Paquet_Recu; }
    // Bytes of the pack stored so far.
    qint64 packStored() const { return Paquet_Recu > 0 ? Paquet_Recu - 1 : 0; }

    int failedAttempts() const { return m_failures; }
    // What went wrong at the last failed attempt, as the system or the
    // server said it ("Connection refused"); empty before any.
    QString lastTrouble() const { return m_trouble; }
    // Milliseconds until the slot connects again after a failed attempt; -1
    // when it is not waiting to.
    int retryInMs() const;
    // The wait is the one the server asked for (Retry-After), not a failure.
    bool waitsForServer() const;
    // The longest wait a server may ask for; a longer one is taken as a
    // failed attempt.
    static constexpr int MaxServerWait = 300;
    // Failed attempts since the slot was made (failedAttempts() counts the ones
    // in a row only).
    int failuresTotal() const { return m_failuresTotal; }
    int requestsSent() const { return m_requests; }
    int connectionsOpened() const { return m_connections; }

signals:
    // The slot sends its request, or its pack's data begins to arrive.
    void activityChanged(int slot, SlotActivity activity);
    // The first data of a transfer arrived (the download starts its clocks).
    void dataStarted(int slot);
    // count bytes were written into the work file.
    void bytesStored(int slot, qint64 count);
    // The current pack's bytes are all stored. The receiver moves the plan
    // on before it returns: the slot then takes the plan's current pack for it.
    void packCompleted(int slot, qint64 pack, qint64 size);
    // A chunk is written (told once per chunk, after the packs it
    // completed): the first `stored` bytes of `pack`, the one in progress
    // (-1: none), are in the work file.
    void chunkStored(int slot, qint64 pack, qint64 stored);
    // The slot's requests now reach pack `lastPack` of its run: nobody else may
    // be given the packs up to there (PackPlan::commitThrough).
    void packsRequested(int slot, qint64 lastPack);
    // What the slot asked for will not come (its connection ended): those
    // packs may be given to another slot again (PackPlan::uncommit).
    void requestsDropped(int slot);
    // Host not found (11001) or connection aborted (10053): the download tells the
    // user and pauses.
    void connectionError(int slot, int number, const QString &description);
    // MaxFailedAttempts failed attempts in a row: the download tells the user and pauses.
    void gaveUp(int slot);
    // The work file could not be written; reason is the system's.
    void writeFailed(int slot, const QString &file, const QString &reason);
    // The server's file is not the one the download started with.
    void fileChanged(int slot, const QString &reason);
    // The server refuses the file to this request (401, 403): retrying the
    // same request would get the same answer.
    void accessRefused(int slot, const QString &reason);
    // The pack in progress starts again from its first byte (the server cannot
    // continue it): its stored bytes no longer count.
    void packRestarted(int slot);
    // The server asked to be left alone for `seconds` (busy, or too many
    // requests): the slot connects again after that, the attempt not counted.
    void serverBusy(int slot, int seconds);
    // The server cannot start a transfer in the middle of the file (FTP REST
    // refused): this slot reads from the file's start and drops what comes
    // before its pack; the others should leave their work to it.
    void restartRefused(int slot);

protected:
    // The pack in progress (see packNumber() and its neighbours), and what
    // was last said to the server and heard back.
    qint64 Paquet_Taille = 0;   // size of the pack, 0 = idle
    qint64 Paquet_Recu = 0;     // next write position in the pack, 1-based; 0 when idle
    qint64 Paquet_Debut = 0;    // offset of the pack in the file
    qint64 Paquet_Numero = -1;  // number of the pack
    bool Entete_Lu = false;     // the current response's header (first data) has been handled
    QByteArray Txt_Sended;      // the last request (commands) sent
    QByteArray Txt_Recu;        // the last response header (reply) received

    // The pack in progress still lacks bytes; the file offset of the first one.
    bool wantsBytes() const { return Paquet_Taille > 0 && Paquet_Recu - 1 < Paquet_Taille; }
    qint64 firstMissingByte() const { return Paquet_Debut + Paquet_Recu - 1; }

    // A transfer (a response, a RETR) begins: its next body byte is the file's
    // byte at offset.
    void beginStream(qint64 offset);
    // The store loop of every protocol. data holds the next size body bytes of
    // the transfer in progress. Bytes before the first one wanted are dropped
    // (a server that could not start there); the wanted ones go into the pack
    // files, each pack that fills up is completed and the slot goes on with
    // the next pack of its run, until the bytes or the run are over, or the
    // next pack wanted lies behind the stream. Returns the bytes used (stored
    // or dropped); fewer than size means the rest is of no use to the slot.
    // -1: the work file could not be written, the slot is halted and
    // writeFailed() told.
    qint64 storeBody(const char *data, qint64 size);
    // File offset of the next body byte of the transfer in progress; bytes
    // the slot has no use for move it on.
    qint64 streamOffset() const { return m_streamOffset; }
    // The file's size is not known (the server gave no length): the one pack
    // ends where the server's answer ends.
    bool streamsUnknownSize() const;
    // The answer that carried such a file ended as it should (not cut off):
    // what the pack holds is the whole file, and the pack is completed with
    // that length.
    void endUnknownSize();
    void skipBody(qint64 bytes) { m_streamOffset += bytes; }

    // Brings the connections in line with the pack in progress.
    virtual void reconsider() = 0;
    // Closes every connection of the slot (nothing more arrives).
    virtual void closeConnections() = 0;
    // A failed attempt of the pack in progress (its connections are closed
    // already). An attempt that brought a pack or MeaningfulAttempt bytes
    // starts the count afresh; the next attempt comes after 1, 2, 4 ... times
    // the retry delay (retryNow()), and after MaxFailedAttempts in a row the
    // slot halts and tells gaveUp().
    void retryLater();
    // The retry delay is over: the slot opens its connection again if it
    // still wants bytes.
    virtual void retryNow() = 0;
    // The server answered "later" and said when (1..MaxServerWait seconds):
    // every connection closes and the slot tries again then, without
    // spending one of its attempts.
    void waitForServer(int seconds);
    // Notes what went wrong, for lastTrouble().
    void noteTrouble(const QString &what) { m_trouble = what; }
    // A failure that asking again cannot mend (no address for the name, a
    // certificate that cannot be trusted; the connections are closed
    // already): no retry, and connectionError() tells the crew.
    void haltWith(int number, const QString &description);
    // The address would put a line break or a NUL into a request or command
    // (a project file edited by hand; the probe refuses such addresses):
    // nothing was sent, no retry, and fileChanged() stops the download.
    void refuseAddress();

    int m_number;
    const PackPlan *m_plan = nullptr;
    // No connection is opened on the slot's own initiative (stopped, gave up,
    // a local or server-side failure) until the crew gives a pack again.
    bool m_halted = false;
    QTimer *m_retryTimer;
    bool m_serverWait = false;  // the retry timer runs for the server's wait
    QString m_trouble;
    int m_retryDelay = DefaultRetryDelay;
    // What the current attempt brought.
    qint64 m_attemptBytes = 0;
    int m_attemptPacks = 0;
    int m_failures = 0;
    int m_failuresTotal = 0;
    int m_requests = 0;
    int m_connections = 0;

private:
    // The pack variables for a new pack in progress.
    void takePack(qint64 number, qint64 start, qint64 size, qint64 stored);
    // packCompleted() is told, and the slot takes the pack the plan now
    // gives it, or goes idle.
    void completePack();
    void writeFailure(const QString &reason);

    WorkFile *m_work = nullptr;
    qint64 m_streamOffset = 0;
    bool m_streamStarted = false;   // dataStarted() told for this transfer
    qint64 m_announcedPack = -1;    // pack whose "Downloading" status was told
};
