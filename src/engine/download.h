#pragma once
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

#include "engine/download_failure.h"
#include "engine/download_files.h"
#include "engine/download_status.h"
#include "engine/final_assembler.h"
#include "engine/pack_plan.h"
#include "engine/pack_register.h"
#include "engine/slot_crew.h"
#include "engine/speed_meter.h"
#include "engine/work_file.h"

class ProjectStore;
class QTimer;
class TransferSlot;

// One running project: its pack plan, register, files, slots and clocks, and
// the one State that says what it is doing. The download manager makes one
// when the queue hands it a project and drops it when the project is
// cancelled or the next one starts. Nothing outside changes it but through
// begin(), pause(), resume(), save() and halt(); what it does is told by its
// signals and its status() value.
//
// Its slots work the plan as a SlotCrew; their failures reach the download
// from the event loop, so a pause never runs inside a slot's handler.
class Download : public QObject
{
    Q_OBJECT
public:
    // Starting: picked from the queue, its run not begun yet. Running: slots
    // at work (some may be waiting to reconnect). WaitingForServer: the
    // server asked to be left alone for a while. Paused: the user asked for
    // it; Failed: it stopped on its own (lastFailure() says why) and resumes
    // like a pause. Assembling: the packs are being joined. Finished: the file
    // is in place and the project listed as finished. Idle: dropped (a
    // cancel).
    enum class State { Idle, Starting, Running, WaitingForServer, Paused, Assembling, Finished, Failed };
    Q_ENUM(State)
    // Reads the project's stored options: they become the settings while it
    // runs (the pack size stays the project's own). The state is Starting.
    Download(const ProjectStore &store, const QString &project, QObject *parent = nullptr);
    ~Download() override;

    // The run begins, fresh or resumed: plan from what is on disk, slots started.
    void begin();
    // Every transfer stops; the packs in progress are noted ":0" in the register.
    void pause();
    // Every slot continues its pack where its file ends, or takes a new one.
    void resume();
    // The program closes: connections close, the packs in progress and the
    // elapsed time are written down, so that the next start resumes.
    void save();
    // Moves the work file, which holds every pack, to the finished file's
    // place; false when it could not (the download stops, saying why).
    bool joinFinalFile();
    // The project is being cancelled: every connection and timer stops and
    // the state is Idle. Its files are the canceller's to remove.
    void halt();

    State state() const { return m_state; }
    bool isPaused() const { return m_state == State::Paused || m_state == State::Failed; }
    // A run is on (begun, not yet finished or dropped).
    bool isActive() const;
    DownloadStatus status() const;
    DownloadFailure lastFailure() const { return m_failure; }
    // The project's pack size (a server without ranges gets one pack).
    qint64 packSize() const { return m_packSize; }

    // Seconds since midnight as the clocks read them; tests put in their own.
    void setClock(std::function<double()> secondsSinceMidnight) { m_clock = std::move(secondsSinceMidnight); }
    // The slots' patience: stall and retry delays (tests shorten them).
    void setPatience(int stallMs, int retryMs);
    // Called once the finished file is in place: records the project as
    // finished. False (with the reason) leaves the download paused.
    void setFinishRecorder(std::function<bool(QString *error)> record) { m_record = std::move(record); }

    // What tests and the front ends read of the run.
    const TransferSlot &slot(int n) const;
    const PackPlan &plan() const;
    const DownloadFiles &files() const { return m_files; }
    const SpeedMeter &speed() const { return m_speed; }

signals:
    void stateChanged(Download::State state);
    // On every progress and elapsed-time tick and every change of state.
    void statusChanged(const DownloadStatus &status);
    // Slot n (1..4) took a new pack (Connecting) or has none left (Idle),
    // sends its request, receives data or waits.
    void slotActivityChanged(int n, SlotActivity activity);
    void actionEnabledChanged(bool enabled);
    void tabRequested(int index);            // 2 Projects, 3 Download
    // The figures went back to idle (the file is done).
    void displayReset();
    // The run began and its slots have their first packs.
    void runBegan();
    // One speed sample was taken: its figures are in the status.
    void speedSampled(const DownloadStatus &status);
    // The run ends: finished (the file is in place, before the state says
    // so), or saved because the program closes.
    void runEnded(bool finished);
    void paused();
    // It stopped on its own: why, and what it was about.
    void failed(DownloadFailure kind, const QString &detail);
    // The answer that carried a file of unknown size ended: it is size bytes.
    void sizeLearned(const QString &project, qint64 size);
    // The finished file is in place and the project is listed as finished.
    void finished(const QString &project, const QString &finalFile);

private:
    void setState(State state);
    void loadOptions(const ProjectStore &store);
    // Plans from the project's files and starts the slots; false when the
    // files could not be brought in line (paused, saying why).
    bool planFromDisk();
    void saveForResume();
    bool prepareFolder();
    // Compares what the work file still needs of the disk with the free
    // space of the download folder's disk, then has the work file take it;
    // a shortfall pauses before any request, naming both.
    bool roomIsEnough();
    // Runs the completion tick at once when every pack is in.
    void completeSoonIfDone();
    bool completionDue() const;
    void onProgressTick();
    // One-second tick of the elapsed-time clock.
    void onTimerTime();
    void onSpeedTick();
    void onDataStarted();
    void onPackDone();
    // Tells the front ends once and pauses: the bytes stored so far stay.
    void stopWithFailure(DownloadFailure kind, const QString &detail);
    FinalAssembler::Input assemblyInput() const;
    void complete();
    double now() const;

    QString m_project;
    QString m_url;
    bool m_ftp = false;
    qint64 m_fileSize = 0;
    qint64 m_packSize = 0;
    State m_state = State::Starting;
    DownloadFailure m_failure = DownloadFailure::None;
    QString m_failureDetail;
    bool m_planned = false;         // the plan was made from the project's files
    DownloadFiles m_files;
    PackRegister m_register;
    WorkFile m_work;                // every slot writes into it, in place
    SpeedMeter m_speed;
    SlotCrew *m_crew;
    QTimer *m_progressTimer;        // 200 ms: figures out, completion
    QTimer *m_timeTimer;            // 1 s: elapsed time
    QTimer *m_speedTimer;           // 1.06 s: speed samples
    std::function<double()> m_clock;
    std::function<bool(QString *)> m_record;
};
