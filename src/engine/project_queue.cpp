#include "engine/project_queue.h"

#include "engine/download_manager.h"
#include "projects/project_file.h"
#include "projects/project_store.h"

#include <QTimer>

#include <utility>

ProjectQueue::ProjectQueue(DownloadManager &engine, ProjectStore &store)
    : QObject(&engine), m_engine(engine), m_store(store), m_tick(new QTimer(this)), m_confirm(new QTimer(this))
{
    m_tick->setObjectName(QStringLiteral("Timer_Start_Download"));
    m_tick->setInterval(2000);
    m_confirm->setObjectName(QStringLiteral("Timer_Valide"));
    m_confirm->setInterval(10);
    connect(m_tick, &QTimer::timeout, this, &ProjectQueue::onTick);
    connect(m_confirm, &QTimer::timeout, this, &ProjectQueue::storeConfirmed);
}

bool ProjectQueue::load()
{
    return m_store.load();
}

bool ProjectQueue::startAtLaunch()
{
    if (m_store.current()) {
        resume();
        return true;
    }
    release();
    return false;
}

void ProjectQueue::hold()
{
    m_held = true;
    m_tick->stop();
}

void ProjectQueue::release()
{
    m_held = false;
    m_tick->start();
}

bool ProjectQueue::isTicking() const
{
    return m_tick->isActive();
}

void ProjectQueue::setTickInterval(int ms)
{
    m_tick->setInterval(ms);
}

void ProjectQueue::moveOn()
{
    if (!m_held)
        m_tick->start();
}

void ProjectQueue::onTick()
{
    if (!windowEnabled() || m_engine.isDownloading())
        return;
    if (m_store.current())
        begin();
    else if (!m_store.waiting().isEmpty())
        pick(m_store.waiting().first().name);
}

void ProjectQueue::pick(const QString &name)
{
    m_store.start(name);
    m_engine.takeProject(name);
}

void ProjectQueue::begin()
{
    m_tick->stop();
    m_engine.beginRun();
}

bool ProjectQueue::add(const QString &name, const QByteArray &projectText, const QString &url, qint64 bytes,
                       const ServerInfo &server, QString *failure)
{
    return m_store.addNewProject(name, projectText, url, bytes, server, failure);
}

void ProjectQueue::addSoon(const QString &name, const QByteArray &projectText, const QString &url, qint64 bytes,
                           const ServerInfo &server)
{
    // Confirmed one after the other within the timer's 10 ms, each is stored,
    // in the order confirmed.
    m_newProjects.append({name, url, projectText, bytes, server});
    m_confirm->start();
}

bool ProjectQueue::isAdding() const
{
    return m_confirm->isActive();
}

void ProjectQueue::storeConfirmed()
{
    m_confirm->stop();
    for (const NewProject &p : std::exchange(m_newProjects, {})) {
        if (p.name.isEmpty())
            continue;
        m_store.addNewProject(p.name, p.text, p.url, p.bytes, p.server);
        emit projectAdded(p.name);
    }
    startHead();
}

void ProjectQueue::startHead()
{
    if (m_held || !windowEnabled() || m_engine.isDownloading())
        return;
    if (!m_store.current()) {
        if (m_store.waiting().isEmpty())
            return;
        pick(m_store.waiting().first().name);
    }
    begin();
}

bool ProjectQueue::startNow(const QString &name)
{
    bool waiting = false;
    for (const ProjectEntry &e : m_store.waiting())
        waiting = waiting || e.name == name;
    if (!waiting || m_engine.isDownloading() || m_store.current())
        return false;
    pick(name);
    begin();
    return m_engine.isDownloading();
}

bool ProjectQueue::resume()
{
    const ProjectEntry *project = m_store.current();
    if (m_engine.isDownloading() || !project)
        return false;
    // The project file already says "in progress": it is not rewritten.
    m_engine.takeProject(QString(project->name));
    begin();
    return m_engine.isDownloading();
}

void ProjectQueue::requeueInProgress()
{
    if (m_engine.isDownloading())
        return;
    const QList<ProjectEntry> running = m_store.inProgress();
    for (auto e = running.crbegin(); e != running.crend(); ++e)
        m_store.requeue(e->name);
}

bool ProjectQueue::moveWaiting(int from, int to)
{
    return m_store.moveWaiting(from, to);
}

void ProjectQueue::cancel(const QString &name)
{
    bool current = false;
    for (const ProjectEntry &e : m_store.inProgress())
        current = current || e.name == name;
    if (current)
        m_engine.dropRun();
    // An empty project name would name the store itself.
    if (ProjectStore::isUsableName(name)) {
        bool ok = false;
        const QString path = ProjectFile::field(m_store.readProjectFile(name, &ok), "path:");
        DownloadFiles::removeMade(m_store.projectDir(name),
                                             ok && !path.isEmpty() ? path + name + QLatin1Char('/') : QString());
    }
    m_store.removeProject(name);
    if (current)
        moveOn();
}

void ProjectQueue::removeFinished(const QString &name)
{
    m_store.removeProject(name);
}

bool ProjectQueue::finish(const QString &name, QString *error)
{
    if (!m_store.finish(name, error))
        return false;
    moveOn();
    return true;
}

void ProjectQueue::shutdown()
{
    m_tick->stop();
    m_confirm->stop();
}

std::optional<ProjectEntry> ProjectQueue::finishedAt(const QString &url) const
{
    std::optional<ProjectEntry> last;
    for (const ProjectEntry &e : m_store.findByAddress(url)) {
        if (e.status == ProjectEntry::Finished)
            last = e;
    }
    return last;
}

QList<ProjectEntry> ProjectQueue::unfinishedAt(const QString &url) const
{
    // Only the project in progress (the one a resume starts) counts among
    // those in progress.
    QList<ProjectEntry> out;
    const QList<ProjectEntry> found = m_store.findByAddress(url);
    if (const ProjectEntry *running = m_store.current()) {
        for (const ProjectEntry &e : found) {
            if (e.status == ProjectEntry::InProgress && e.name == running->name) {
                out.append(e);
                break;
            }
        }
    }
    for (const ProjectEntry &e : found) {
        if (e.status == ProjectEntry::Waiting)
            out.append(e);
    }
    return out;
}
