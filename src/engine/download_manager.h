#pragma once
#include <QObject>
#include <QPointer>
#include <functional>

#include "engine/download.h"
#include "engine/project_queue.h"
#include "projects/project_store.h"

class UrlProbe;

// The engine's front object: the projects (store and queue), the probe of new
// addresses, and the running project's Download. It holds no widget; the main
// window and zov-kestra-get read its state, call its operations and listen to
// its signals, which carry those of the running download.
class DownloadManager : public QObject
{
    Q_OBJECT
public:
    using State = Download::State;

    explicit DownloadManager(QObject *parent = nullptr);
    ~DownloadManager() override;

    // The projects are read here and changed through the queue.
    const ProjectStore &store() const { return m_store; }
    ProjectQueue &queue() { return *m_queue; }
    UrlProbe &probe() { return *m_probe; }
    // The running project's download (or the one that just finished); null
    // when none.
    const Download *download() const { return m_download; }

    State state() const { return m_download ? m_download->state() : State::Idle; }
    bool isPaused() const { return m_download && m_download->isPaused(); }
    // A run is on: begun and not yet finished or cancelled.
    bool isDownloading() const { return m_download && m_download->isActive(); }
    DownloadStatus status() const;
    // Why the running project stopped on its own (None while it runs, or
    // after a pause the user asked for).
    DownloadFailure lastFailure() const { return m_download ? m_download->lastFailure() : DownloadFailure::None; }

    // The action button: pauses a running download, resumes a paused or
    // failed one.
    void actionClicked();
    void pauseDownload();
    void resumeDownload();
    // The "Fichier !" action: joins the packs of the running download now.
    void joinFinalFile();
    // The program is closing: the queue stops, every connection closes and a
    // running download notes its packs in progress and its elapsed time, so
    // that the next start resumes it.
    void shutdown();

    // Seconds since midnight as the download's clocks read them; tests put in
    // a clock of their own.
    void setClock(std::function<double()> secondsSinceMidnight) { m_clock = std::move(secondsSinceMidnight); }
    // Shortens the slots' patience for tests (stall and retry delays).
    void setSlotTimeouts(int stallMs, int retryMs);

signals:
    void stateChanged(Download::State state);
    void statusChanged(const DownloadStatus &status);
    void slotActivityChanged(int n, SlotActivity activity);
    void actionEnabledChanged(bool enabled);
    void tabRequested(int index);            // 1 About, 2 Projects, 3 Download
    void displayReset();
    void runBegan();
    void speedSampled(const DownloadStatus &status);
    void runEnded(bool finished);
    void projectStarted(const QString &name);
    void projectFinished(const QString &name, const QString &finalFile);
    void downloadPaused();
    // The download stopped on its own: why, and what it was about (the detail
    // the view's failureText() turns into what the user is told).
    void downloadFailed(DownloadFailure kind, const QString &detail);

private:
    // The queue decides which project runs and when.
    friend class ProjectQueue;
    // The queue hands over its project: a Download is made for it (its stored
    // options applied) and projectStarted() tells the windows.
    void takeProject(const QString &name);
    void beginRun();
    // The running project is being cancelled: it stops and is forgotten, and
    // the display goes back to idle.
    void dropRun();
    void forget();

    ProjectStore m_store;
    ProjectQueue *m_queue;
    UrlProbe *m_probe;
    QPointer<Download> m_download;
    std::function<double()> m_clock;
    int m_stallMs = -1, m_retryMs = -1;
};
