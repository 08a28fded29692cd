#pragma once
#include <QList>
#include <QObject>
#include <optional>

#include "engine/download_failure.h"
#include "engine/download_status.h"
#include "engine/pack_plan.h"

class DownloadFiles;
class PackRegister;
class QTimer;
class TransferSlot;
class ServerInfo;
class WorkFile;

// The running project's slots at work on its pack plan, and the plan's one
// driver: each slot is handed the plan's next pack, and what a slot tells
// while it handles its bytes (a pack complete, bytes stored, a request sent
// or dropped) moves the plan, the register and the byte count there and then.
// What the crew asks of a slot in return (more work at the end of its run)
// goes through the event loop, never from inside that slot's handler, and so
// does every failure it passes on.
class SlotCrew : public QObject
{
    Q_OBJECT
public:
    // An idle FTP slot takes part of another's run only while this many packs
    // per slot are left nobody has started.
    static constexpr qint64 FtpLeastSteal = 4;

    // Four slots of the project's protocol (FTP uses three); the bytes go
    // into work, completed packs are recorded in reg under the names of files.
    SlotCrew(bool ftp, const DownloadFiles &files, PackRegister &reg, WorkFile &work, QObject *parent = nullptr);
    ~SlotCrew() override;

    int slotCount() const { return m_ftp ? 3 : 4; }
    const TransferSlot &slot(int n) const { return *m_slots[n - 1]; }
    const PackPlan &plan() const { return m_plan; }
    SlotActivity activity(int n) const { return m_activity[n - 1]; }
    // Bytes present: the complete packs and the slots' write positions.
    qint64 received() const { return m_received; }
    // No slot holds a pack.
    bool isIdle() const;
    // Every slot at work waits because the server asked it to.
    bool waitsForServer() const;
    // The pack file names of the packs in progress.
    QList<QByteArray> packsInProgress() const;

    void setTarget(const QString &host, const QString &path, const ServerInfo &server, bool tls);
    void setPatience(int stallMs, int retryMs);
    // The plan of a file of fileSize bytes in packs of packSize, every pack
    // complete but the pending ones (a new project: all of them pending).
    void startPlan(qint64 fileSize, qint64 packSize, const QList<PackPlan::PendingPack> &pending);
    // Every slot takes its first pack (an FTP slot after its timer).
    void start();
    // A resume: each pack in progress continues where it stopped, the
    // failure counts start afresh, and the slots start.
    void resume();
    // Every connection closes and the slot timers stop; the packs in
    // progress stay the slots'.
    void stop();
    // Every slot's activity (a pause: Paused; the end: Idle).
    void setActivities(SlotActivity activity);

signals:
    // The first data of a transfer arrived.
    void dataStarted();
    void bytesStored(qint64 count);
    // A pack is complete and recorded.
    void packDone();
    // The answer that carried a file of unknown size ended: the file is size
    // bytes long, and the plan knows it (before packDone() of its pack).
    void sizeLearned(qint64 size);
    void slotActivityChanged(int n, SlotActivity activity);
    // A slot waits because the server asked it to.
    void serverBusy();
    // A slot stopped for good or a record could not be written: told from
    // the event loop, once the slot is out of its handler.
    void failed(DownloadFailure kind, const QString &detail);

private:
    void makeSlots();
    void askPack(int n);
    void givePack(int n, std::optional<PackPlan::SlotPack> pack);
    void showNewPack(int n, bool busy);
    void onPackCompleted(int n, qint64 pack, qint64 size);
    void onRestartRefused(int n);
    // Slot n failed its last attempt: it rests while others still get data,
    // or the download stops.
    void onGaveUp(int n);
    // Writes the queued register lines; a failure stops the download.
    bool recordPacks();
    // The byte count, leaving out slot leaveOut's position (1..4; 0: none).
    void sumReceived(int leaveOut = 0);

    bool m_ftp;
    bool m_working = false;         // between start() and stop()
    int m_soleSlot = 0;             // the one FTP slot left when the server refused REST
    bool m_resting[4] = {};         // gave up while others worked: no work until a resume
    bool m_served[4] = {};          // stored bytes since the crew started
    qint64 m_finishedBytes = 0;     // bytes of the complete packs
    qint64 m_received = 0;
    PackPlan m_plan;
    const DownloadFiles &m_files;
    PackRegister &m_register;
    TransferSlot *m_slots[4] = {};
    QTimer *m_slotTimer[4] = {};    // an FTP slot connects a moment after the one before
    SlotActivity m_activity[4] = {};
};
