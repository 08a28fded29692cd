#include "engine/download.h"

#include "core/folders.h"
#include "core/program_folder.h"
#include "core/settings.h"
#include "engine/project_resume.h"
#include "engine/transfer_slot.h"
#include "engine/url_helpers.h"
#include "projects/project_file.h"
#include "projects/project_store.h"
#include "projects/server_info.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>
#include <QTime>
#include <QTimer>

#include <sys/stat.h>

namespace {
QTimer *makeTimer(QObject *owner, const char *name, int interval)
{
    auto *t = new QTimer(owner);
    t->setObjectName(QString::fromLatin1(name));
    t->setInterval(interval);
    return t;
}

// Bytes of the disk a file already holds (0 when there is none).
qint64 allocatedBytes(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode) ? qint64(st.st_blocks) * 512 : 0;
}

ProjectResume::Elapsed hms(qint64 t)
{
    return {int(t / 3600), int(t / 60 % 60), int(t % 60)};
}
} // namespace

Download::Download(const ProjectStore &store, const QString &project, QObject *parent)
    : QObject(parent)
    , m_project(project)
    , m_progressTimer(makeTimer(this, "Timer_Barre", 200))
    , m_timeTimer(makeTimer(this, "Timer_Time", 1000))
    , m_speedTimer(makeTimer(this, "Timer_Speed", 1060))
{
    for (const ProjectEntry &e : store.entries()) {
        if (e.name == project) {
            m_url = e.url;
            m_fileSize = e.bytes;
        }
    }
    loadOptions(store);
    m_crew = new SlotCrew(m_ftp, m_files, m_register, m_work, this);
    connect(m_crew, &SlotCrew::dataStarted, this, &Download::onDataStarted);
    connect(m_crew, &SlotCrew::bytesStored, this, [this](qint64 count) {
        m_speed.add(count);
        // Data flows again after the server's wait.
        if (m_state == State::WaitingForServer)
            setState(State::Running);
    });
    connect(m_crew, &SlotCrew::serverBusy, this, [this] {
        if (m_state == State::Running && m_crew->waitsForServer())
            setState(State::WaitingForServer);
    });
    connect(m_crew, &SlotCrew::packDone, this, &Download::onPackDone);
    connect(m_crew, &SlotCrew::sizeLearned, this, [this](qint64 size) {
        // From now on the file is an ordinary one of one pack.
        m_fileSize = size;
        m_packSize = std::max<qint64>(size, 1);
        // What an earlier, longer stream left after the end goes.
        m_work.setLength(size);
        emit sizeLearned(m_project, size);
    });
    connect(m_crew, &SlotCrew::slotActivityChanged, this, &Download::slotActivityChanged);
    connect(m_crew, &SlotCrew::failed, this, &Download::stopWithFailure);
    connect(m_progressTimer, &QTimer::timeout, this, &Download::onProgressTick);
    connect(m_timeTimer, &QTimer::timeout, this, &Download::onTimerTime);
    connect(m_speedTimer, &QTimer::timeout, this, &Download::onSpeedTick);
}

Download::~Download() = default;

void Download::loadOptions(const ProjectStore &store)
{
    bool ok = false;
    const QByteArray text = store.readProjectFile(m_project, &ok);
    if (ok)
        ProjectFile::applyToSettings(text, &m_packSize, &m_ftp);
    if (m_packSize <= 0)
        m_packSize = Settings::packSize();
}

const TransferSlot &Download::slot(int n) const
{
    return m_crew->slot(n);
}

const PackPlan &Download::plan() const
{
    return m_crew->plan();
}

void Download::setPatience(int stallMs, int retryMs)
{
    m_crew->setPatience(stallMs, retryMs);
}

bool Download::isActive() const
{
    return m_state != State::Idle && m_state != State::Starting && m_state != State::Finished;
}

double Download::now() const
{
    return m_clock ? m_clock() : QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
}

void Download::begin()
{
    if (m_state != State::Starting)
        return;
    const ServerInfo server = ServerInfo::read(ProgramFolder::projectDir(m_project));
    // The file's name: the one the server gave it, or its address's.
    m_files = DownloadFiles(m_project, Settings::filePathSetting(),
                            server.name.isEmpty() ? Extract_FileName(m_url) : server.name);
    m_register = PackRegister(m_files.registerPath());
    QString address = m_url;
    QString path;
    const QString host = Extract_URL2(address, &path);
    // An HTTPS project is listed with its scheme; a login is kept beside the
    // project, never in its address.
    m_crew->setTarget(withLogin(host, server.login), path, server,
                      m_url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive));
    // A project that ran before carries on with its elapsed time; a new one
    // has no time file and starts at zero.
    const ProjectResume::Elapsed t = ProjectResume::readTimeFile(m_files.timeFilePath());
    m_speed.reset(t.h * 3600 + t.m * 60 + t.s);
    emit tabRequested(3);
    emit actionEnabledChanged(true);
    setState(State::Running);
    if (m_files.finalInPlace(m_fileSize) || prepareFolder())
        planFromDisk();
    m_speed.setPresent(m_crew->received());
    emit runBegan();
    m_progressTimer->start();
    completeSoonIfDone();
}

bool Download::prepareFolder()
{
    QString failure;
    if (m_files.prepare(&failure))
        return true;
    stopWithFailure(DownloadFailure::LocalWrite, failure);
    return false;
}

bool Download::planFromDisk()
{
    if (m_files.finalInPlace(m_fileSize)) {
        // Nothing is left to fetch or join: the run only records the end.
        m_planned = true;
        m_crew->startPlan(m_fileSize, m_packSize, {});
        m_crew->start();
        return true;
    }
    if (m_fileSize == PackPlan::UnknownSize) {
        // Without a length nothing stored can be continued: the one stream
        // starts from the file's first byte.
        m_planned = true;
        m_crew->startPlan(m_fileSize, m_packSize, {{0, 0}});
        if (roomIsEnough())
            m_crew->start();
        return true;
    }
    // The files say what is stored: a new project has none, a project that ran
    // before keeps every byte its files hold.
    const ProjectResume::State disk = ProjectResume::reconcile(assemblyInput(), m_files.registerPath());
    if (!disk.error.isEmpty()) {
        stopWithFailure(DownloadFailure::LocalWrite, disk.error);
        return false;
    }
    // The register was rewritten: lines go to the new file from now on.
    m_register = PackRegister(m_files.registerPath());
    m_planned = true;
    m_crew->startPlan(m_fileSize, m_packSize, disk.pending);
    if (!roomIsEnough())
        return true;
    m_crew->start();
    return true;
}

bool Download::roomIsEnough()
{
    // The work file takes its whole length on the disk before the first
    // request; what it holds already (a run before) needs no more room.
    if (m_work.stillInPlace())
        return true;
    const QString work = FinalAssembler::workFilePath(assemblyInput());
    if (m_fileSize == PackPlan::UnknownSize) {
        // No length to take ahead: the file grows as the stream comes.
        if (m_work.open(work, PackPlan::UnknownSize))
            return true;
        stopWithFailure(DownloadFailure::LocalWrite, work + QStringLiteral(": ") + m_work.errorString());
        return false;
    }
    const qint64 left = m_fileSize - allocatedBytes(work);
    QString detail;
    if (m_files.roomFor(left, &detail)) {
        if (m_work.open(work, m_fileSize))
            return true;
        if (!m_work.noRoom()) {
            stopWithFailure(DownloadFailure::LocalWrite, work + QStringLiteral(": ") + m_work.errorString());
            return false;
        }
        // Less room than the free space said: blocks kept for the system, a
        // quota, or another program faster than this one.
        const QStorageInfo disk(m_files.folder());
        detail = QStringLiteral("%1\n%2\n%3").arg(left).arg(disk.bytesAvailable()).arg(disk.rootPath());
    }
    stopWithFailure(DownloadFailure::NoRoom, detail);
    return false;
}

void Download::completeSoonIfDone()
{
    // Everything may be in already (the last pack just stored, a pause after
    // it, or a finished file that could not be moved): the completion tick runs
    // now rather than up to 200 ms later.
    if (m_crew->plan().allDone() && m_state == State::Running)
        QTimer::singleShot(0, this, [this] {
            if (m_progressTimer->isActive())
                onProgressTick();
        });
}

void Download::onPackDone()
{
    completeSoonIfDone();
}

void Download::onDataStarted()
{
    if (m_speed.isStarted())
        return;
    m_speed.start(now());
    m_timeTimer->start();
    m_speedTimer->start();
}

void Download::stopWithFailure(DownloadFailure kind, const QString &detail)
{
    // Told once: the other slots' failures that follow find it stopped.
    if (!isActive() || isPaused())
        return;
    m_failure = kind;
    m_failureDetail = detail;
    emit failed(kind, detail);
    pause();
}

void Download::halt()
{
    m_crew->stop();
    for (QTimer *t : {m_speedTimer, m_timeTimer, m_progressTimer})
        t->stop();
    m_crew->setActivities(SlotActivity::Idle);
    setState(State::Idle);
}

void Download::saveForResume()
{
    m_crew->stop();
    // What the register and the records will say is stored reaches the disk
    // first: a power cut after a pause or a close loses nothing.
    m_work.sync();
    m_register.addPauseNotes(m_crew->packsInProgress());
    ProjectResume::writeTimeFile(m_files.timeFilePath(), hms(m_speed.elapsedSeconds()));
}

void Download::pause()
{
    if (!isActive() || isPaused())
        return;
    m_timeTimer->stop();
    m_speedTimer->stop();
    // Nothing runs while paused: no speed, no time left; the speeds start
    // afresh at the resume.
    m_speed.pause(now());
    saveForResume();
    m_crew->setActivities(SlotActivity::Paused);
    setState(m_failure == DownloadFailure::None ? State::Paused : State::Failed);
    emit paused();
}

void Download::resume()
{
    if (!isPaused())
        return;
    m_failure = DownloadFailure::None;
    m_failureDetail.clear();
    setState(State::Running);
    m_timeTimer->start();
    // The average speed leaves the pause out: the start moves on by its length.
    m_speed.resume(now());
    m_speedTimer->start();
    // The ":0" notes of the pause go: the packs are in progress again.
    m_register.dropPauseNotes();
    if (!m_files.finalInPlace(m_fileSize) && !prepareFolder())
        return;
    // A work file removed or replaced during the pause holds nothing the
    // plan counts: the files are read anew.
    if (m_planned && !m_files.finalInPlace(m_fileSize) && !m_work.stillInPlace())
        m_planned = false;
    if (!m_planned)
        planFromDisk();   // the folder could not be made when the run began
    else if (roomIsEnough())
        m_crew->resume();
    completeSoonIfDone();
}

void Download::save()
{
    for (QTimer *t : {m_progressTimer, m_timeTimer, m_speedTimer})
        t->stop();
    if (isActive()) {
        saveForResume();
        emit runEnded(false);
    }
    m_crew->stop();
}

void Download::onTimerTime()
{
    m_speed.tick();
    emit statusChanged(status());
    // Now and then the time goes to disk too, so that a program killed
    // without a chance to close keeps most of it.
    if (isActive() && m_speed.elapsedSeconds() % 30 == 0)
        ProjectResume::writeTimeFile(m_files.timeFilePath(), hms(m_speed.elapsedSeconds()));
}

void Download::onSpeedTick()
{
    m_speed.sample(now(), m_crew->received(), m_fileSize);
    emit speedSampled(status());
}

void Download::onProgressTick()
{
    emit statusChanged(status());
    if (completionDue())
        complete();
}

DownloadStatus Download::status() const
{
    const PackPlan &plan = m_crew->plan();
    DownloadStatus st;
    st.state = int(m_state);
    st.project = m_project;
    st.fileName = m_files.fileName();
    st.fileSize = m_fileSize;
    st.received = m_crew->received();
    st.speedNow = isPaused() ? 0 : m_speed.speedNow();
    st.speedAverage = m_speed.speedAverage();
    st.secondsLeft = isPaused() ? -1 : m_speed.secondsLeft();
    st.secondsElapsed = m_speed.elapsedSeconds();
    st.speedHighest = m_speed.highest();
    st.speedLowest = m_speed.lowest();
    st.failure = m_failure;
    st.failureDetail = m_failureDetail;
    st.ftp = m_ftp;
    // The project's pack size, which an empty file's plan does not keep;
    // -1 while the file's one pack has no known size.
    st.packSize = plan.sizeKnown() ? m_packSize : -1;
    st.fullPacks = plan.fullPackCount();
    st.lastPackSize = plan.lastPackSize();
    st.unstartedPacks = plan.unstartedCount();
    st.unstartedIncludesShortPack = plan.unstartedIncludesShortPack();
    for (int n = 1; n <= 4; ++n) {
        const TransferSlot &s = m_crew->slot(n);
        DownloadStatus::Slot &out = st.perSlot[n - 1];
        out.inUse = isActive() && n <= m_crew->slotCount();
        out.activity = m_crew->activity(n);
        out.packSize = plan.sizeKnown() ? s.packSize() : -1;
        if (s.writePosition() >= 1 && s.packSize() >= 1 && plan.sizeKnown())
            out.percent = DownloadStatus::percentOf(s.writePosition(), s.packSize());
        if (!out.inUse)
            continue;
        out.pack = s.isBusy() ? s.packNumber() : -1;
        out.packBytes = s.packStored();
        const int wait = isPaused() ? -1 : s.retryInMs();
        out.retryInSeconds = wait < 0 ? -1 : (wait + 999) / 1000;
        out.attempt = s.failedAttempts() + 1;
        out.serverWait = s.waitsForServer();
        if (out.retryInSeconds >= 0)
            out.activity = SlotActivity::Retrying;
    }
    return st;
}

bool Download::completionDue() const
{
    return m_state == State::Running && m_crew->plan().allDone() && m_crew->isIdle();
}

void Download::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged(state);
    emit statusChanged(status());
}

FinalAssembler::Input Download::assemblyInput() const
{
    const PackPlan plan(m_fileSize, m_packSize);   // the file's geometry
    FinalAssembler::Input in;
    in.folder = m_files.folder();
    in.baseName = m_files.baseName();
    in.destination = m_files.finalFile();
    in.packCount = plan.packCount();
    in.packSize = plan.packSize();
    in.lastSize = plan.lastPackSize();
    return in;
}

bool Download::joinFinalFile()
{
    if (m_files.finalInPlace(m_fileSize))
        return true;
    QString error;
    if (!m_files.chooseFinalName(&error)) {
        stopWithFailure(DownloadFailure::LocalWrite, error);
        return false;
    }
    setState(State::Assembling);
    m_work.close();
    const bool placed = FinalAssembler::place(assemblyInput(), &error);
    // Cancelled meanwhile (by a listener of the state): its files are gone
    // and nothing more is done.
    if (m_state != State::Assembling)
        return false;
    if (placed)
        return true;
    setState(State::Running);
    // A work file that could not be moved stays whole where it is, and is
    // named; one that is gone is read anew at the resume (its packs fetched
    // again).
    const QString work = FinalAssembler::workFilePath(assemblyInput());
    if (Folders::regularFileSize(work) == m_fileSize)
        stopWithFailure(DownloadFailure::NotPlaced, error + QLatin1Char('\n') + work);
    else
        stopWithFailure(DownloadFailure::LocalWrite, error);
    return false;
}

void Download::complete()
{
    if (!joinFinalFile())
        return;
    // Finished only once the project's record says so: a run stopped before
    // this finds the file in place and ends here again, fetching nothing.
    QString error;
    if (m_record && !m_record(&error)) {
        stopWithFailure(DownloadFailure::LocalWrite, error);
        return;
    }
    // The last speeds of the file, then the final snapshot pair and the
    // statistics (the view's).
    onSpeedTick();
    for (QTimer *t : {m_speedTimer, m_timeTimer, m_progressTimer})
        t->stop();
    emit runEnded(true);
    if (!m_files.folder().isEmpty())
        QDir().rmdir(m_files.folder());
    setState(State::Finished);
    // The kept-open connections are of no more use once the file is done.
    m_crew->stop();
    m_crew->setActivities(SlotActivity::Idle);
    emit actionEnabledChanged(false);
    emit displayReset();
    emit tabRequested(2);
    emit finished(m_project, m_files.finalFile());
}
