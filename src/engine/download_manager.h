#pragma once
#include <QObject>
#include <QStringList>
#include <functional>

#include "engine/download_failure.h"
#include "engine/download_run.h"
#include "engine/download_status.h"
#include "engine/final_assembler.h"
#include "engine/pack_plan.h"
#include "engine/pack_register.h"
#include "engine/project_queue.h"
#include "projects/owned_files.h"
#include "projects/project_store.h"
#include "projects/server_info.h"

class FtpSlot;
class HttpSlot;
class TransferSlot;
class QTimer;
class UrlProbe;
class Winsock;

// The engine's front object: the running download, its timers and sockets, and
// the figures a view turns into what a person reads; its queue of projects
// (ProjectQueue) decides which project runs. It holds no widget; the main window reads its
// state, calls its operations and listens to its signals, and zov-kestra-get
// drives the same object without a screen.
class DownloadManager : public QObject
{
    Q_OBJECT
public:
    // An idle FTP slot takes part of another's run only while this many packs
    // per slot are left nobody has started.
    static constexpr qint64 FtpLeastSteal = 4;
    // What the running project is doing. Only setState() changes it, and every
    // decision (pause or resume, completion, what a click means) reads it.
    // Starting: picked from the queue, its run not begun yet. Paused: the user
    // asked for it; Failed: the download stopped on its own (lastFailure()
    // says why) and resumes like a pause. WaitingForServer: the server asked
    // to be left alone for a while.
    enum class State { Idle, Starting, Running, WaitingForServer, Paused, Assembling, Finished, Failed };
    Q_ENUM(State)
    explicit DownloadManager(QObject *parent = nullptr);
    ~DownloadManager() override;

    // The projects are read here and changed through the queue.
    const ProjectStore &store() const { return m_store; }
    ProjectQueue &queue() { return *m_queue; }

    // Returns the download to its idle figures: action button disabled,
    // percentages, counters and slots reset; displayReset() tells the view.
    void ReInit();

    // Hands slot n (1..4) its next pack, or leaves it idle.
    void Demande_Paquet(int n);
    // Joins the packs into the finished file (the "Fichier !" action). False when
    // a pack was missing or short: it is then fetched again.
    bool joinFinalFile();
    // The action button: pauses a running download, resumes a paused or
    // failed one.
    void actionClicked();
    // Stops every transfer of the running project; it stays in progress. Each
    // pack in progress is noted ":0" in the register.
    void pauseDownload();
    // Every slot continues its pack where it stopped, or takes a new one.
    void resumeDownload();
    State state() const { return m_state; }
    bool isPaused() const { return m_state == State::Paused || m_state == State::Failed; }
    // The program is closing: every connection closes and a running download
    // notes its packs in progress (":0") and its elapsed time, so that the next
    // start resumes it. Nothing is written when no project runs.
    void shutdown();
    // Removes what the project made in its download folder (pack files and
    // the work file), then the folder if that left it empty. A project begun
    // before its folder was recorded owns the folder named after it only when
    // its register says it ran. Nothing else is ever removed.
    static void removeDownloadFiles(const QString &projectDir, const QString &legacyFolder);
    // Every slot of either protocol stops: connections closed, slot timers off;
    // the packs in progress stay theirs (pause, close, cancel).
    void stopAllSlots();
    // Seconds since midnight as the pause and speed clocks read them; tests put
    // in a clock of their own.
    void setClock(std::function<double()> secondsSinceMidnight) { m_clock = std::move(secondsSinceMidnight); }
    // Why the running project stopped on its own (None while it runs, or after
    // a pause the user asked for).
    DownloadFailure lastFailure() const { return m_lastFailure; }
    // The running project's pack size (its own, which may differ from the
    // user's setting: a server without ranges gets one pack).
    qint64 projectPackSize() const { return m_plan.packSize(); }

    // Speed tick (Timer_Speed): immediate and average speeds, time left, the
    // highest and lowest speeds, handed out through speedSampled().
    void onTimerSpeed();
    // One sample of the speed tick at `now` (seconds since midnight): speeds,
    // time left and extremes of r. True when data flowed into a file not
    // complete yet (the speed graphs scroll).
    static bool sampleSpeeds(DownloadRun &r, double now);
    // Progress tick (percentages, statusChanged, completion) and elapsed-time
    // tick (statusChanged).
    void onTimerBarre();
    void onTimerTime();
    // Whether the download is complete: it runs, every pack is in and every
    // slot is idle.
    bool completionDue() const;

    // Slot n (1..4) of the running project's protocol.
    TransferSlot &slot(int n) { return *m_slots[n - 1]; }
    // Slots in use: 4 over HTTP, 3 over FTP.
    int slotCount() const;
    PackPlan &plan() { return m_plan; }
    UrlProbe &probe() { return *m_probe; }
    QString destinationFolder() const;    // FilePath of the running project
    // The folder the running project made for its packs: FilePath +
    // Project_Now + "/", or "Project_Now (n)/" when that name was taken.
    QString downloadFolder() const;
    QString packFilePath(qint64 pack) const;
    QString registerPath() const;         // the project's download.zov
    QString timeFilePath() const;         // the project's infos.zov
    // FilePath + File_URL2, or "name (n).ext" there when a file the project
    // did not make holds the name.
    QString finalFilePath() const;
    // Shortens the slots' patience for tests (stall and retry delays).
    void setSlotTimeouts(int stallMs, int retryMs);

    // The running project's figures, read-only from outside the engine.
    const DownloadRun &run() const { return m_run; }
    // The same, as one plain value: bytes, speeds, times, the state, the
    // failure and each slot's pack or retry.
    DownloadStatus status() const;

    // Timers (objectName = the name the program uses for them).
    QTimer *Timer_Connect;
    QTimer *Timer_FTP[4];
    QTimer *Timer_Barre;
    QTimer *Timer_Time;
    QTimer *Timer_Speed;

    // Sockets of the slots: HTTP (Winsock1..4), FTP control (WskF_1..4) and FTP
    // data (WskF1..4).
    Winsock *slotSockets[4];
    Winsock *WskF_Control[4];
    Winsock *WskF_Data[4];

signals:
    void stateChanged(DownloadManager::State state);
    // On every progress and elapsed-time tick and every change of state.
    void statusChanged(const DownloadStatus &status);
    // Slot n (1..4) took a new pack (Connecting) or has none left (Idle),
    // sends its request or receives data.
    void slotActivityChanged(int n, SlotActivity activity);
    void actionEnabledChanged(bool enabled);
    void tabRequested(int index);            // 1 About, 2 Projects, 3 Download
    // ReInit(): the display goes back to idle.
    void displayReset();
    // A run began (fresh or resumed from disk) and its slots have their first
    // packs: Project_Now and File_URL2 name it.
    void runBegan();
    // One speed sample was taken: its figures are in the status.
    void speedSampled(const DownloadStatus &status);
    // The run ends: finished (the file is in place, before the state says so
    // and the figures are reset), or saved because the program closes.
    void runEnded(bool finished);
    void projectStarted(const QString &name);
    // The finished file is in place and the project is listed as finished.
    void projectFinished(const QString &name, const QString &finalFile);
    void downloadPaused();
    // The download stopped on its own: why, and what it was about (the detail
    // the view's failureText() turns into what the user is told). The front
    // ends tell it, but for a changed file, where they offer to start over.
    void downloadFailed(DownloadFailure kind, const QString &detail);

private:
    // The one place the state changes; the run's Downloading flag follows it.
    void setState(State state);
    // The queue decides which project runs and when: it calls takeProject(),
    // beginRun() and dropRun().
    friend class ProjectQueue;
    // The queue hands over its project: it becomes Project_Now, its stored
    // options are applied and projectStarted() tells the windows.
    void takeProject(const QString &name);
    // The running project is being cancelled: every connection and slot timer
    // of either protocol and the progress timers stop, and the run is
    // forgotten (ReInit() then returns the display to idle).
    void dropRun();
    void onPackCompleted(int n, qint64 pack, qint64 size, const QString &packFile);
    void onSlotActivity(int n, SlotActivity activity);
    void onDataStarted(int n);
    void onBytesStored(int n, qint64 count);
    void onConnectionError(int n, int number, const QString &description);
    void onGaveUp(int n);
    void onWriteFailed(int n, const QString &file, const QString &reason);
    void onFileChanged(int n, const QString &reason);
    // Tells the front ends once and pauses: the bytes stored so far stay.
    void stopWithFailure(DownloadFailure kind, const QString &detail);
    bool prepareFolders();
    // The finished file is in place under the name the project chose (an
    // earlier run moved it there and was stopped before it could say so).
    bool finalInPlace() const;
    // Picks and records the finished file's name: the file's own, or the first
    // "name (n).ext" nothing holds. False (the download paused, saying why)
    // when the choice could not be recorded.
    bool chooseFinalName();
    // Compares what is left to fetch with the free space of the download
    // folder's disk; a shortfall pauses before any request, naming both.
    bool roomIsEnough();
    // Applies the running project's stored options (Project_Now's file).
    void loadProjectOptions();
    // Start of a run, fresh or resumed: plan from what is on disk, slots started.
    void beginRun();
    // Closes the slots' connections, notes the packs in progress and writes
    // the time file.
    void saveForResume();
    double secondsSinceMidnight() const;
    // Plans the run from the project's files and starts the slots; false when
    // the files could not be brought in line (the download is paused, saying why).
    bool planFromDisk();
    // Gives each slot in use its first pack (FTP: after its timer).
    void startSlots();
    void onRestartRefused(int n);
    // Runs the completion tick at once when every pack is in.
    void completeSoonIfDone();
    void givePack(int n, std::optional<PackPlan::SlotPack> pack);
    // Slot n goes on with pack (nothing: it is idle); the packs-left figures
    // follow.
    void showNewPack(int n, const std::optional<PackPlan::SlotPack> &pack);
    // Taille_Recue from the finished packs and the slots' positions, but the
    // position of slot leaveOut (1..4; 0: none).
    void sumReceived(int leaveOut = 0);
    void completeProject();
    FinalAssembler::Input assemblyInput() const;
    void joinReadyPacks();

    ProjectStore m_store;
    ProjectQueue *m_queue;
    PackPlan m_plan;
    HttpSlot *m_http[4];
    FtpSlot *m_ftp[4];
    TransferSlot *m_slots[4];             // the running project's: m_http or m_ftp
    int m_soleSlot = 0;                   // the one FTP slot left when the server refused REST
    UrlProbe *m_probe;
    State m_state = State::Idle;
    bool m_planned = false;               // the run's plan was made from its files
    QString m_filePath;                   // FilePath while a project runs
    QString m_baseName;                   // File_URL2 up to its first "."
    qint64 m_joined = 0;                  // packs already in the work file
    qint64 m_packSize = 0;                // the running project's own pack size
    ServerInfo m_server;                  // what the probe saw of the file
    OwnedFiles m_owned;                   // what the running project made on disk
    PackRegister m_register;
    DownloadFailure m_lastFailure = DownloadFailure::None;
    QString m_failureDetail;              // what it was about (see DownloadFailure)
    DownloadRun m_run;
    SlotActivity m_activity[4] = {};
    std::function<double()> m_clock;
};
