#pragma once
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <optional>

#include "projects/project_entry.h"
#include "projects/server_info.h"

class DownloadManager;
class ProjectStore;
class QTimer;

// The queue of projects: which project runs next, adding, moving, cancelling
// and finishing projects, the start-up choice (resume the project an earlier
// run left in progress, or let the queue run) and finding a project by its
// address. Projects are downloaded one at a time, in queue order: while the
// queue runs, its tick (Timer_Start_Download, every 2 s) takes the first
// waiting project (the pick: status 0, its options applied) and a later tick
// starts it. Everything it changes in the store goes through the store's
// operations; what runs a project is the engine's (DownloadManager).
class ProjectQueue : public QObject
{
    Q_OBJECT
public:
    ProjectQueue(DownloadManager &engine, ProjectStore &store);

    const ProjectStore &store() const { return m_store; }
    // Reads the store from its files (ProjectStore::load).
    bool load();

    // Start-up: resumes the project an earlier run left in progress, or else
    // lets the queue run (release()). True when a project was resumed.
    bool startAtLaunch();
    // The queue takes no waiting project on its own until release(); what the
    // user starts (startNow) still starts. A front end that runs its one
    // project itself holds the queue from the start.
    void hold();
    // The queue runs: its ticks take the next waiting project whenever none is
    // in progress.
    void release();
    bool isHeld() const { return m_held; }
    // Whether the queue's ticks look for a project now (released, and no
    // project has begun since).
    bool isTicking() const;
    // The time between two ticks (2000 ms; tests shorten it).
    void setTickInterval(int ms);
    // The queue moves only while the main window takes input (it does not
    // while the new-project dialog is open): the window says so when its
    // state changes. Without a window it always may.
    void setWindowBusy(bool busy) { m_windowBusy = busy; }
    bool windowEnabled() const { return !m_windowBusy; }

    // Stores a new project at once as the last waiting one
    // (ProjectStore::addNewProject).
    bool add(const QString &name, const QByteArray &projectText, const QString &url, qint64 bytes,
             const ServerInfo &server = ServerInfo(), QString *failure = nullptr);
    // A confirmed new project: Timer_Valide stores it a moment later, then
    // projectAdded() tells the window. When nothing else downloads (and the
    // queue is not held), the head of the queue starts right then: the user
    // asked for a download and waits for it, not for the queue's ticks.
    void addSoon(const QString &name, const QByteArray &projectText, const QString &url, qint64 bytes,
                 const ServerInfo &server = ServerInfo());
    // A confirmed project waits to be stored.
    bool isAdding() const;

    // Starts the waiting project named at once, without waiting for ticks.
    // False when it is not waiting or another project is in progress.
    bool startNow(const QString &name);
    // Starts the project an earlier run left in progress from what its files
    // hold: its options, elapsed time, joined and complete packs, and each
    // partial pack where its file ends. False when there is none or it could
    // not start.
    bool resume();
    // Puts the projects left in progress by an earlier run back at the head of
    // the queue (status 1), in their order, so that another can start now.
    // Nothing changes while a download runs.
    void requeueInProgress();
    // Moves waiting project from to place to (both counted in the queue).
    bool moveWaiting(int from, int to);
    // Cancels a project and deletes it from disk. The project in progress
    // stops first (every connection and slot timer), the display returns to
    // idle and the queue moves on to the next project; a waiting project just
    // leaves the queue, and a running download goes on untouched. Either way
    // the pack and work files of the project go, and its download folder once
    // nothing else is in it.
    void cancel(const QString &name);
    // Deletes a finished project with its statistics.
    void removeFinished(const QString &name);
    // The running project's file is in place: the project is listed as
    // finished (its file says status 2) and the queue moves on. When the
    // project file cannot be rewritten nothing changes (false; error says why).
    bool finish(const QString &name, QString *error = nullptr);
    // The program closes: no more ticks, and a confirmed project not stored
    // yet is dropped.
    void shutdown();

    // The most recently finished project of the address.
    std::optional<ProjectEntry> finishedAt(const QString &url) const;
    // The unfinished projects of the address: the one in progress first, then
    // the waiting ones in queue order.
    QList<ProjectEntry> unfinishedAt(const QString &url) const;

signals:
    void projectAdded(const QString &name);

private:
    // One tick: the project picked on an earlier tick starts; otherwise the
    // first waiting project is picked.
    void onTick();
    // The waiting project named becomes the project in progress.
    void pick(const QString &name);
    // The project in progress starts; the ticks stop.
    void begin();
    // After a project ends: the ticks look for the next one, unless held.
    void moveOn();
    // Both steps of the ticks at once, when the queue may move and nothing
    // downloads: the project picked already, or else the first waiting one,
    // starts.
    void startHead();
    void storeConfirmed();

    DownloadManager &m_engine;
    ProjectStore &m_store;
    QTimer *m_tick;     // Timer_Start_Download
    QTimer *m_confirm;  // Timer_Valide
    bool m_held = false;
    bool m_windowBusy = false;
    struct NewProject
    {
        QString name, url;
        QByteArray text;
        qint64 bytes = 0;
        ServerInfo server;
    };
    QList<NewProject> m_newProjects; // confirmed, waiting for Timer_Valide
};
