#include "engine/download_manager.h"

#include "core/folders.h"
#include "core/program_folder.h"
#include "core/rounding.h"
#include "core/settings.h"
#include "core/text_file.h"
#include "core/winsock.h"
#include "engine/final_assembler.h"
#include "engine/ftp_slot.h"
#include "engine/http_slot.h"
#include "engine/project_resume.h"
#include "engine/url_helpers.h"
#include "engine/url_probe.h"
#include "options/option_values.h"
#include "projects/project_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <unistd.h>
#include <utility>

namespace {
QTimer *makeTimer(QObject *owner, const char *name, int interval, bool running)
{
    auto *t = new QTimer(owner);
    t->setObjectName(QString::fromLatin1(name));
    t->setInterval(interval);
    if (running)
        t->start();
    return t;
}

Winsock *makeSocket(QObject *owner, const QString &name)
{
    auto *w = new Winsock(owner);
    w->setObjectName(name);
    return w;
}
} // namespace

DownloadManager::DownloadManager(QObject *parent)
    : QObject(parent)
{
    m_store.setParent(this);
    m_store.setObjectName(QStringLiteral("ProjectStore"));

    // Linux keeps its own connections up: the keep-alive tick has nothing to do,
    // but the timer runs as the rest of the program expects.
    Timer_Connect = makeTimer(this, "Timer_Connect", 5000, true);
    // Authorities the user trusts for HTTPS besides the system's; a file that
    // cannot be used refuses HTTPS connections with its reason.
    Winsock::setAuthorityFile(Settings::caCertificateFile());
    m_queue = new ProjectQueue(*this, m_store);
    m_queue->setObjectName(QStringLiteral("ProjectQueue"));
    static const char *ftpNames[4] = {"Timer_FTP_1", "Timer_FTP_2", "Timer_FTP_3", "Timer_FTP_4"};
    static const int ftpIntervals[4] = {800, 1000, 1200, 1400};
    for (int i = 0; i < 4; ++i) {
        Timer_FTP[i] = makeTimer(this, ftpNames[i], ftpIntervals[i], false);
        Timer_FTP[i]->setSingleShot(true);
    }
    Timer_Barre = makeTimer(this, "Timer_Barre", 200, false);
    Timer_Time = makeTimer(this, "Timer_Time", 1000, false);
    Timer_Speed = makeTimer(this, "Timer_Speed", 1060, false);

    for (int i = 0; i < 4; ++i) {
        slotSockets[i] = makeSocket(this, QStringLiteral("Winsock%1").arg(i + 1));
        WskF_Control[i] = makeSocket(this, QStringLiteral("WskF_%1").arg(i + 1));
        WskF_Data[i] = makeSocket(this, QStringLiteral("WskF%1").arg(i + 1));
    }

    m_probe = new UrlProbe(this);
    m_probe->setObjectName(QStringLiteral("UrlProbe"));

    for (int i = 0; i < 4; ++i) {
        m_http[i] = new HttpSlot(i + 1, slotSockets[i], this);
        m_http[i]->setObjectName(QStringLiteral("HttpSlot%1").arg(i + 1));
        m_ftp[i] = new FtpSlot(i + 1, WskF_Control[i], WskF_Data[i], this);
        m_ftp[i]->setObjectName(QStringLiteral("FtpSlot%1").arg(i + 1));
        for (TransferSlot *slot : {static_cast<TransferSlot *>(m_http[i]), static_cast<TransferSlot *>(m_ftp[i])}) {
            slot->setPlan(&m_plan);
            slot->setPackFilePath([this](qint64 pack) { return packFilePath(pack); });
            // What a slot tells while it handles its bytes moves the plan and
            // the figures at once; nothing of it calls back into a slot.
            connect(slot, &TransferSlot::packCompleted, this, &DownloadManager::onPackCompleted);
            connect(slot, &TransferSlot::activityChanged, this, &DownloadManager::onSlotActivity);
            connect(slot, &TransferSlot::dataStarted, this, &DownloadManager::onDataStarted);
            connect(slot, &TransferSlot::bytesStored, this, &DownloadManager::onBytesStored);
            connect(slot, &TransferSlot::packsRequested, this,
                    [this](int n, qint64 lastPack) { m_plan.commitThrough(n, lastPack); });
            connect(slot, &TransferSlot::requestsDropped, this, [this](int n) { m_plan.uncommit(n); });
            connect(slot, &TransferSlot::packRestarted, this, [this](int n) {
                m_plan.setStored(n, 0);
                sumReceived();
            });
            // A failure pauses the download, which stops every slot: that runs
            // from the event loop, once the slot that failed is out of its handler.
            connect(slot, &TransferSlot::connectionError, this,
                    [this](int n, int number, const QString &what) { onConnectionError(n, number, what); },
                    Qt::QueuedConnection);
            connect(slot, &TransferSlot::gaveUp, this, &DownloadManager::onGaveUp, Qt::QueuedConnection);
            connect(slot, &TransferSlot::writeFailed, this, &DownloadManager::onWriteFailed, Qt::QueuedConnection);
            connect(slot, &TransferSlot::fileChanged, this, &DownloadManager::onFileChanged, Qt::QueuedConnection);
            connect(slot, &TransferSlot::restartRefused, this, &DownloadManager::onRestartRefused,
                    Qt::QueuedConnection);
        }
        m_slots[i] = m_http[i];
        // A slot's timer lets an FTP slot connect a moment after the others.
        connect(Timer_FTP[i], &QTimer::timeout, this, [this, i] { Demande_Paquet(i + 1); });
    }

    connect(Timer_Barre, &QTimer::timeout, this, &DownloadManager::onTimerBarre);
    connect(Timer_Time, &QTimer::timeout, this, &DownloadManager::onTimerTime);
    connect(Timer_Speed, &QTimer::timeout, this, &DownloadManager::onTimerSpeed);
}

DownloadManager::~DownloadManager() = default;

void DownloadManager::ReInit()
{
    emit actionEnabledChanged(false);
    m_run.Temps_H = m_run.Temps_M = m_run.Temps_S = 0;
    m_run.Chrono_Lance = false;
    m_run.Octets_Tick = 0;
    m_run.Vitesse_Haute = m_run.Vitesse_Basse = 0;
    m_run.Dernier_Paquet = m_run.Taille_Dernier = m_run.Paquets_Finis = m_run.Paquet_Suivant = 0;
    for (TransferSlot *s : m_slots) {
        s->Paquet_Recu = 0;
        s->Paquet_Taille = 0;
    }
    for (SlotActivity &a : m_activity)
        a = SlotActivity::Idle;
    emit displayReset();
}

QString DownloadManager::destinationFolder() const
{
    // Read once per project: the options cannot change while it runs, and the
    // pack path is asked for at every pack.
    return m_filePath.isEmpty() ? Settings::filePathSetting() : m_filePath;
}

QString DownloadManager::downloadFolder() const
{
    return m_owned.folder;
}

QString DownloadManager::packFilePath(qint64 pack) const
{
    return FinalAssembler::packFilePath(downloadFolder(), m_baseName, pack);
}

QString DownloadManager::registerPath() const
{
    return ProgramFolder::projectDir(m_run.Project_Now) + QStringLiteral("download.zov");
}

QString DownloadManager::timeFilePath() const
{
    return ProgramFolder::projectDir(m_run.Project_Now) + QStringLiteral("infos.zov");
}

QString DownloadManager::finalFilePath() const
{
    return m_owned.finalFile.isEmpty() ? destinationFolder() + m_run.File_URL2 : m_owned.finalFile;
}

void DownloadManager::setSlotTimeouts(int stallMs, int retryMs)
{
    for (int i = 0; i < 4; ++i) {
        for (TransferSlot *s : {static_cast<TransferSlot *>(m_http[i]), static_cast<TransferSlot *>(m_ftp[i])}) {
            s->setStallTimeout(stallMs);
            s->setRetryDelay(retryMs);
        }
    }
}

void DownloadManager::takeProject(const QString &name)
{
    setState(State::Starting);
    m_run.Project_Now = name;
    loadProjectOptions();
    emit projectStarted(m_run.Project_Now);
}

void DownloadManager::loadProjectOptions()
{
    // The project's own options become the settings while it runs. A key the
    // file lacks leaves its setting as it was. The pack size is the exception:
    // it stays the project's own (a server without ranges gets one pack the
    // size of its file), and the user's choice for later projects is kept.
    m_run.Projet_FTP = false;
    m_filePath.clear();
    m_packSize = 0;
    bool ok = false;
    const QByteArray text = m_store.readProjectFile(m_run.Project_Now, &ok);
    if (ok) {
        static const QList<QPair<const char *, const char *>> keys = {
            {"path:", "FilePath"},         {"packsize:", "packsize"},   {"showmodem:", "ShowModem"},
            {"bar1back:", "mainbarreback"}, {"bar1for:", "mainbarrefor"}, {"bar2back:", "secbarreback"},
            {"bar2for:", "secbarrefor"},    {"graphback:", "graphback"},  {"graphfor:", "graphfor"},
            {"graphmodem:", "graphmodem"}};
        int from = 0;
        for (const auto &[key, setting] : keys) {
            int end = -1;
            const QString value = ProjectFile::field(text, key, from, &end);
            if (value.isNull())
                continue;
            if (qstrcmp(key, "packsize:") == 0)
                m_packSize = toInteger(value, 0);
            else
                Settings::write(QString::fromLatin1(setting), value);
            from = end;
        }
        if (ProjectFile::field(text, "Type:", from).trimmed() == QLatin1String("1"))
            m_run.Projet_FTP = true;
    }
    m_filePath = Settings::filePathSetting();
}

void DownloadManager::beginRun()
{
    const ProjectEntry *project = m_store.current();
    if (m_run.Project_Now.isEmpty() && project)
        m_run.Project_Now = project->name;
    m_filePath = Settings::filePathSetting();

    const qint64 S = project ? project->bytes : 0;
    if (m_packSize <= 0)
        m_packSize = Settings::packSize() > 0 ? Settings::packSize() : 512000;
    const qint64 P = m_packSize;
    m_plan = PackPlan(S, P);
    m_planned = false;
    m_joined = 0;
    m_lastFailure = DownloadFailure::None;
    m_server = ServerInfo::read(ProgramFolder::projectDir(m_run.Project_Now));
    m_owned = OwnedFiles::read(ProgramFolder::projectDir(m_run.Project_Now));
    m_register = PackRegister(registerPath());

    m_run.Taille_Fichier = S;
    m_run.Taille_Recue = 0;
    m_run.Paquets_Finis = 0;
    m_run.Octets_Tick = 0;
    // A project that ran before carries on with its elapsed time; a new one
    // has no time file and starts at zero.
    const ProjectResume::Elapsed elapsed = ProjectResume::readTimeFile(timeFilePath());
    m_run.Temps_H = elapsed.h;
    m_run.Temps_M = elapsed.m;
    m_run.Temps_S = elapsed.s;
    m_run.Vitesse_Haute = m_run.Vitesse_Basse = 0;
    m_run.Chrono_Lance = false;
    m_run.Erreur_Signalee = false;
    m_run.Paquets_Restants = m_plan.packCount();
    m_run.Paquet_Suivant = 0;
    m_run.Dernier_Paquet = m_plan.lastPackSize();
    m_run.Taille_Dernier = m_plan.lastPackSize();
    const QString url = project ? project->url : QString();
    m_run.File_URL2 = m_server.name.isEmpty() ? Extract_FileName(url) : m_server.name;
    m_baseName = baseNameOf(m_run.File_URL2);
    QString copy = url;
    m_run.Host_URL2 = Extract_URL2(copy, &m_run.Path_URL2);
    // An HTTPS project is listed with its scheme (its project file says Type 2).
    m_run.httpsProject = url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);

    emit tabRequested(3);
    emit actionEnabledChanged(true);

    setState(State::Running);
    m_soleSlot = 0;
    const bool activeFirst = Settings::readInt(QStringLiteral("FtpActive"), 0) != 0;
    stopAllSlots();
    for (int i = 0; i < 4; ++i) {
        m_http[i]->resetFailures();
        m_ftp[i]->resetFailures();
        m_slots[i] = m_run.Projet_FTP ? static_cast<TransferSlot *>(m_ftp[i]) : m_http[i];
        m_slots[i]->setTarget(withLogin(m_run.Host_URL2, m_server.login), m_run.Path_URL2);
        m_http[i]->setValidators(m_server.etag, m_server.lastModified, m_server.ranges);
        m_http[i]->setTls(m_run.httpsProject);
        m_ftp[i]->setActiveFirst(activeFirst);
    }
    if (finalInPlace() || prepareFolders())
        planFromDisk();
    sumReceived();
    m_run.Taille_Reprise = m_run.Taille_Recue;
    emit runBegan();
    Timer_Barre->start();
    completeSoonIfDone();
}

bool DownloadManager::planFromDisk()
{
    if (finalInPlace()) {
        // Nothing is left to fetch or join: the run only records the end.
        m_planned = true;
        m_joined = m_plan.packCount();
        m_plan.start(slotCount(), {});
        m_run.Paquets_Finis = m_plan.doneBytes();
        startSlots();
        return true;
    }
    // The files say what is stored: a new project has none, a project that ran
    // before keeps every byte its files hold.
    const ProjectResume::State disk = ProjectResume::reconcile(assemblyInput(), registerPath());
    if (!disk.error.isEmpty()) {
        stopWithFailure(DownloadFailure::LocalWrite, disk.error);
        return false;
    }
    m_planned = true;
    m_joined = disk.joined;
    m_plan.start(slotCount(), disk.pending);
    m_run.Paquets_Finis = m_plan.doneBytes();
    if (!roomIsEnough())
        return true;
    startSlots();
    joinReadyPacks();
    return true;
}

int DownloadManager::slotCount() const
{
    // FTP servers often take few sessions from one address: three slots.
    return m_run.Projet_FTP ? 3 : 4;
}

void DownloadManager::startSlots()
{
    // FTP slots connect one after the other, each after its timer.
    for (int n = 1; n <= slotCount(); ++n) {
        if (m_run.Projet_FTP)
            Timer_FTP[n - 1]->start();
        else
            Demande_Paquet(n);
    }
}

void DownloadManager::onRestartRefused(int n)
{
    // The server cannot start a transfer in the middle of the file: slot n
    // reads it from the start, and the others leave their work to it so that
    // it goes on along one stream.
    m_soleSlot = n;
    for (int k = 1; k <= slotCount(); ++k) {
        if (k == n)
            continue;
        Timer_FTP[k - 1]->stop();
        slot(k).stop();
        m_plan.release(k);
        givePack(k, std::nullopt);
    }
    sumReceived();
}

void DownloadManager::completeSoonIfDone()
{
    // Everything may be in already (the last pack just stored, a pause after
    // it, or a finished file that could not be moved): the completion tick runs
    // now rather than up to 200 ms later.
    if (m_plan.allDone() && m_state == State::Running)
        QTimer::singleShot(0, this, [this] {
            if (Timer_Barre->isActive())
                onTimerBarre();
        });
}

bool DownloadManager::prepareFolders()
{
    const QString projectDir = ProgramFolder::projectDir(m_run.Project_Now);
    QString failure;
    const auto failed = [&] {
        stopWithFailure(DownloadFailure::LocalWrite, failure);
        return false;
    };
    if (!m_owned.folder.isEmpty()) {
        if (Folders::isRealFolder(m_owned.folder))
            return true;
        // A folder removed meanwhile is made again, empty, where it was
        // (mkdir makes only a new one); anything else in its place is not the
        // project's, which then makes a folder anew.
        if (!Folders::taken(m_owned.folder.chopped(1))) {
            if (!Folders::make(m_owned.folder, &failure))
                return failed();
            return true;
        }
        m_owned.folder.clear();
    } else if (const QString legacy = destinationFolder() + m_run.Project_Now + QLatin1Char('/');
               QFileInfo::exists(registerPath()) && Folders::isRealFolder(legacy)) {
        // A project begun before download folders were recorded: it ran (its
        // register says so) in the folder named after it.
        m_owned.folder = legacy;
        if (!m_owned.write(projectDir, &failure)) {
            m_owned.folder.clear();
            return failed();
        }
        return true;
    }
    // A folder of its own, never one that exists: whatever the user keeps
    // under the project's name stays theirs.
    // A file without an extension is named like its project: the folder
    // takes another name than the one the file will take beside it.
    const QString made = Folders::makeFresh(destinationFolder(), m_run.Project_Now
                                            + (m_run.Project_Now == m_run.File_URL2 ? QStringLiteral(".parts") : QString()), &failure);
    if (made.isEmpty())
        return failed();
    m_owned.folder = made;
    if (!m_owned.write(projectDir, &failure)) {
        ::rmdir(QFile::encodeName(made).constData());
        m_owned.folder.clear();
        return failed();
    }
    return true;
}

bool DownloadManager::roomIsEnough()
{
    const qint64 left = m_run.Taille_Fichier - m_plan.storedBytes();
    QStorageInfo disk(downloadFolder());
    if (left <= 0 || !disk.isValid() || disk.bytesAvailable() >= left)
        return true;
    stopWithFailure(DownloadFailure::NoRoom,
                    QStringLiteral("%1\n%2\n%3").arg(left).arg(disk.bytesAvailable()).arg(disk.rootPath()));
    return false;
}

bool DownloadManager::finalInPlace() const
{
    // The work file goes only by being moved to the chosen name: with it gone
    // and a file of the right length there, that file is the project's.
    return !m_owned.finalFile.isEmpty() && Folders::regularFileSize(m_owned.finalFile) == m_run.Taille_Fichier
           && (m_owned.folder.isEmpty() || !Folders::taken(m_owned.folder + QStringLiteral("final.zov")));
}

bool DownloadManager::chooseFinalName()
{
    // The name is written down before the file moves there, so that a run
    // stopped right after the move still knows the file as its own.
    QString target = m_owned.finalFile;
    if (target.isEmpty() || Folders::taken(target))
        target = Folders::freeName(destinationFolder(), m_run.File_URL2);
    if (target == m_owned.finalFile)
        return true;
    const OwnedFiles before = m_owned;
    m_owned.finalFile = target;
    QString failure;
    if (!target.isEmpty() && m_owned.write(ProgramFolder::projectDir(m_run.Project_Now), &failure))
        return true;
    m_owned = before;
    if (target.isEmpty())
        failure = destinationFolder() + m_run.File_URL2 + QStringLiteral(": no free name is left");
    stopWithFailure(DownloadFailure::LocalWrite, failure);
    return false;
}

void DownloadManager::Demande_Paquet(int n)
{
    givePack(n, m_plan.next(n));
}

void DownloadManager::givePack(int n, std::optional<PackPlan::SlotPack> pack)
{
    TransferSlot &s = slot(n);
    if (n > slotCount() || (m_soleSlot && n != m_soleSlot)) {
        pack.reset();
    } else if (!pack && m_run.Projet_FTP && !m_plan.hasWaitingGroup()
               && m_plan.unstartedCount() < FtpLeastSteal * slotCount()) {
        // Near the end an FTP slot leaves the last packs to the transfers that
        // carry them: a new transfer costs its set-up, and the owner's stream
        // runs on past the cut until its ABOR arrives, so a small steal costs
        // more bytes and time than it saves.
    } else if (!pack) {
        // A run cut short by this reads its new end from the plan: its slot
        // asks for less from now on, and nothing it asked for is taken.
        pack = m_plan.next(n);
    }
    showNewPack(n, pack);
    if (!pack) {
        // Nothing is left to start: an idle slot holds no connection.
        s.setIdle();
        s.stop();
        return;
    }
    s.setPack(pack->number, pack->start, pack->size, pack->stored);
}

void DownloadManager::showNewPack(int n, const std::optional<PackPlan::SlotPack> &pack)
{
    if (pack) {
        if (pack->number == m_plan.packCount() - 1)
            m_run.Dernier_Paquet = 0;
        m_run.Paquet_Suivant = m_plan.packCount();
        m_run.Paquets_Restants = m_plan.unstartedCount();
    }
    m_activity[n - 1] = pack ? SlotActivity::Connecting : SlotActivity::Idle;
    emit slotActivityChanged(n, m_activity[n - 1]);
}

void DownloadManager::onPackCompleted(int n, qint64 /*pack*/, qint64 size, const QString &packFile)
{
    // Slot n is inside its store loop: the plan moves on here, and the slot
    // goes on with the plan's next pack of its run when this returns.
    QString reason;
    if (!m_register.append(packFile.toUtf8(), '1', &reason)) {
        // The plan stays at the pack, so the slot goes idle; the resume after
        // the pause records the pack again.
        const QString file = m_register.path();
        QMetaObject::invokeMethod(this, [this, n, file, reason] { onWriteFailed(n, file, reason); },
                                  Qt::QueuedConnection);
        return;
    }
    m_run.Paquets_Finis += size;
    if (const auto next = m_plan.packDone(n)) {
        showNewPack(n, next);
    } else {
        // The run is over: more work comes from the event loop. The download
        // may have paused or ended by then, and a resume gives work anew.
        QMetaObject::invokeMethod(this, [this, n] {
            if (m_state != State::Running)
                return;
            Demande_Paquet(n);
            sumReceived();
        }, Qt::QueuedConnection);
    }
    // The slot's own position still counts the pack just finished.
    sumReceived(n);
    joinReadyPacks();
    completeSoonIfDone();
}

void DownloadManager::sumReceived(int leaveOut)
{
    qint64 sum = m_run.Paquets_Finis;
    for (int n = 1; n <= 4; ++n)
        sum += n == leaveOut ? 0 : slot(n).Paquet_Recu;
    m_run.Taille_Recue = sum;
}

void DownloadManager::onSlotActivity(int n, SlotActivity activity)
{
    // A slot's last words after its project stopped, was cancelled or
    // finished are not news: it stays as the stop left it.
    if (m_state != State::Running && m_state != State::WaitingForServer)
        return;
    m_activity[n - 1] = activity;
    emit slotActivityChanged(n, activity);
}

void DownloadManager::onDataStarted(int)
{
    if (m_run.Chrono_Lance)
        return;
    m_run.Chrono_Lance = true;
    Timer_Time->start();
    Timer_Speed->start();
    m_run.Heure_Debut = int(roundHalfAway(secondsSinceMidnight()));
}

void DownloadManager::onBytesStored(int n, qint64 count)
{
    // The plan knows how far the pack is, so that a resume continues from there.
    if (slot(n).Paquet_Recu >= 1)
        m_plan.setStored(n, slot(n).Paquet_Recu - 1);
    m_run.Octets_Tick += count;
    sumReceived();
}

void DownloadManager::onConnectionError(int n, int number, const QString &description)
{
    if (number == Winsock::sckCertificateRefused) {
        stopWithFailure(DownloadFailure::Certificate, description);
        return;
    }
    if (number == Winsock::sckHostNotFound || number == Winsock::sckConnectAborted)
        onGaveUp(n);
}

void DownloadManager::onGaveUp(int)
{
    // The connection message is told once per run, however many slots give up.
    if (!m_run.Erreur_Signalee) {
        m_run.Erreur_Signalee = true;
        m_lastFailure = DownloadFailure::Network;
        m_failureDetail.clear();
        emit downloadFailed(m_lastFailure, QString());
    }
    pauseDownload();
}

void DownloadManager::stopWithFailure(DownloadFailure kind, const QString &detail)
{
    if (!m_run.Downloading || isPaused())
        return;
    m_lastFailure = kind;
    m_failureDetail = detail;
    emit downloadFailed(kind, detail);
    pauseDownload();
}

void DownloadManager::onWriteFailed(int, const QString &file, const QString &reason)
{
    stopWithFailure(DownloadFailure::LocalWrite, file + QStringLiteral(": ") + reason);
}

void DownloadManager::onFileChanged(int, const QString &reason)
{
    stopWithFailure(DownloadFailure::ServerChanged, reason);
}

void DownloadManager::actionClicked()
{
    if (isPaused())
        resumeDownload();
    else
        pauseDownload();
}

double DownloadManager::secondsSinceMidnight() const
{
    return m_clock ? m_clock() : QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
}

void DownloadManager::stopAllSlots()
{
    // Timers first, so that none starts a connection while the others close.
    for (QTimer *t : Timer_FTP)
        t->stop();
    for (int i = 0; i < 4; ++i) {
        m_http[i]->stop();
        m_ftp[i]->stop();
    }
}

void DownloadManager::dropRun()
{
    stopAllSlots();
    for (QTimer *t : {Timer_Speed, Timer_Time, Timer_Barre})
        t->stop();
    m_owned = OwnedFiles();
    setState(State::Idle);
    m_run.Project_Now.clear();
    m_planned = false;
    m_filePath.clear();
}

void DownloadManager::removeDownloadFiles(const QString &projectDir, const QString &legacyFolder)
{
    QString folder = OwnedFiles::read(projectDir).folder;
    if (folder.isEmpty() && !legacyFolder.isEmpty() && QFileInfo::exists(projectDir + QStringLiteral("download.zov")))
        folder = legacyFolder;
    if (folder.isEmpty() || !Folders::isRealFolder(folder))
        return;
    // The names the project gives its files: "<base>(<pack>).zov" and the
    // work file. A file of the user's in the folder keeps the folder too.
    static const QRegularExpression packName(QStringLiteral("^.*\\(\\d+\\)\\.zov$"));
    QDir dir(folder);
    for (const QString &entry : dir.entryList(QDir::Files | QDir::System | QDir::Hidden)) {
        if (entry == QLatin1String("final.zov") || packName.match(entry).hasMatch())
            dir.remove(entry);
    }
    ::rmdir(QFile::encodeName(folder).constData());
}

void DownloadManager::saveForResume()
{
    stopAllSlots();
    QList<QByteArray> inProgress;
    for (TransferSlot *s : m_slots) {
        if (s->isBusy())
            inProgress.append(packFilePath(s->Paquet_Numero).toUtf8());
    }
    m_register.addPauseNotes(inProgress);
    ProjectResume::writeTimeFile(timeFilePath(), {m_run.Temps_H, m_run.Temps_M, m_run.Temps_S});
}

void DownloadManager::pauseDownload()
{
    if (!m_run.Downloading || isPaused())
        return;
    setState(m_lastFailure == DownloadFailure::None ? State::Paused : State::Failed);
    Timer_Time->stop();
    Timer_Speed->stop();
    m_run.Heure_Pause = int(roundHalfAway(secondsSinceMidnight()));
    saveForResume();
    for (int n = 1; n <= slotCount(); ++n)
        m_activity[n - 1] = SlotActivity::Paused;
    // Nothing runs while paused: no speed, no time left; the speeds start
    // afresh at the resume.
    m_run.speedNow = 0;
    m_run.secondsLeft = -1;
    m_run.recentTicks.clear();
    emit downloadPaused();
}

void DownloadManager::resumeDownload()
{
    if (!isPaused())
        return;
    m_run.Erreur_Signalee = false;
    m_lastFailure = DownloadFailure::None;
    m_failureDetail.clear();
    setState(State::Running);
    Timer_Time->start();
    // The average speed leaves the pause out: the start time moves on by the
    // pause's length. A stored time above the clock was taken before midnight.
    const double now = secondsSinceMidnight();
    for (int *stamp : {&m_run.Heure_Debut, &m_run.Heure_Pause}) {
        if (now < *stamp - 2)
            *stamp -= 86400;
    }
    m_run.Heure_Debut = int(roundHalfAway(now - m_run.Heure_Pause + m_run.Heure_Debut));
    Timer_Speed->start();
    // The ":0" notes of the pause go: the packs are in progress again.
    m_register.dropPauseNotes();
    if (!finalInPlace() && !prepareFolders())
        return;
    if (!m_planned) {
        // The folders could not be made when the run began: it begins now.
        planFromDisk();
    } else if (roomIsEnough()) {
        for (int n = 1; n <= slotCount(); ++n) {
            slot(n).resetFailures();
            // A pack continues from what its file holds now: a file removed
            // during the pause means the pack starts again from its first byte.
            if (const auto pack = m_plan.currentPack(n))
                m_plan.setStored(n, std::clamp<qint64>(Folders::regularFileSize(packFilePath(pack->number)), 0, pack->stored));
        }
        startSlots();
    }
    sumReceived();
    completeSoonIfDone();
}

void DownloadManager::shutdown()
{
    m_queue->shutdown();
    for (QTimer *t : {Timer_Barre, Timer_Time, Timer_Speed})
        t->stop();
    Ferme_Connect(*m_probe->probeSocket());
    if (m_run.Downloading) {
        saveForResume();
        emit runEnded(false);
    }
    stopAllSlots();
}

void DownloadManager::onTimerTime()
{
    if (++m_run.Temps_S > 59) {
        m_run.Temps_S -= 60;
        if (++m_run.Temps_M > 59) {
            m_run.Temps_M -= 60;
            ++m_run.Temps_H;
        }
    }
    emit statusChanged(status());
    // Now and then the time goes to disk too, so that a program killed
    // without a chance to close keeps most of it.
    if (m_run.Downloading && m_run.Temps_S % 30 == 0)
        ProjectResume::writeTimeFile(timeFilePath(), {m_run.Temps_H, m_run.Temps_M, m_run.Temps_S});
}

void DownloadManager::onTimerSpeed()
{
    sampleSpeeds(m_run, secondsSinceMidnight());
    emit speedSampled(status());
}

bool DownloadManager::sampleSpeeds(DownloadRun &r, double now)
{
    if (now < r.Heure_Debut)
        r.Heure_Debut -= 86400;   // midnight has passed since the start
    // Bytes of one interval count as bytes per second; speeds in 1000 bytes.
    const double immediate = std::round(r.Octets_Tick / 10.0) / 100.0;
    const double elapsed = now - r.Heure_Debut;
    // What this run brought, not what an earlier run left on disk.
    const qint64 brought = r.Taille_Recue - r.Taille_Reprise;
    const qint64 average = elapsed > 0 ? qint64(std::floor(brought / elapsed / 1000.0)) : 0;
    r.recentTicks.append(r.Octets_Tick);
    while (r.recentTicks.size() > DownloadRun::RecentSamples)
        r.recentTicks.removeFirst();
    qint64 recent = 0;
    for (qint64 b : std::as_const(r.recentTicks))
        recent += b;
    recent /= r.recentTicks.size();
    r.speedNow = roundHalfAway(immediate * 1000);
    r.speedAverage = average * 1000;
    r.secondsLeft = recent > 0 ? (r.Taille_Fichier - r.Taille_Recue) / recent : -1;
    bool flowed = false;
    if (r.Taille_Recue >= 1 && r.Taille_Fichier >= 1) {
        // A complete file keeps the bytes of its last interval.
        if (r.Taille_Fichier <= r.Taille_Recue + 1)
            return false;
        // A sample of 0 leaves the extremes alone: they move only while data
        // flows.
        if (immediate != 0) {
            const qint64 speed = r.speedNow;
            if (speed > r.Vitesse_Haute)
                r.Vitesse_Haute = speed;
            if (speed < r.Vitesse_Basse || r.Vitesse_Basse == 0)
                r.Vitesse_Basse = speed;
            flowed = true;
        }
    }
    r.Octets_Tick = 0;
    return flowed;
}

void DownloadManager::onTimerBarre()
{
    emit statusChanged(status());
    if (completionDue())
        completeProject();
}

DownloadStatus DownloadManager::status() const
{
    DownloadStatus st;
    st.state = int(m_state);
    st.project = m_run.Project_Now;
    st.fileSize = m_run.Taille_Fichier;
    st.received = m_run.Taille_Recue;
    st.speedNow = isPaused() ? 0 : m_run.speedNow;
    st.speedAverage = m_run.speedAverage;
    st.secondsLeft = isPaused() ? -1 : m_run.secondsLeft;
    st.secondsElapsed = m_run.Temps_H * 3600 + m_run.Temps_M * 60 + m_run.Temps_S;
    st.speedHighest = m_run.Vitesse_Haute;
    st.speedLowest = m_run.Vitesse_Basse;
    st.failure = m_lastFailure;
    st.failureDetail = m_failureDetail;
    st.ftp = m_run.Projet_FTP;
    // The project's pack size, which an empty file's plan does not keep.
    st.packSize = m_packSize;
    st.fullPacks = m_plan.fullPackCount();
    st.lastPackSize = m_plan.lastPackSize();
    st.unstartedPacks = m_plan.unstartedCount();
    st.unstartedIncludesShortPack = m_plan.unstartedIncludesShortPack();
    for (int n = 1; n <= 4; ++n) {
        const TransferSlot &s = *m_slots[n - 1];
        DownloadStatus::Slot &out = st.perSlot[n - 1];
        out.inUse = m_run.Downloading && n <= slotCount();
        out.activity = m_activity[n - 1];
        out.packSize = s.Paquet_Taille;
        if (s.Paquet_Recu >= 1 && s.Paquet_Taille >= 1)
            out.percent = DownloadRun::percentOf(s.Paquet_Recu, s.Paquet_Taille);
        if (!out.inUse)
            continue;
        out.pack = s.isBusy() ? s.Paquet_Numero : -1;
        out.packBytes = s.isBusy() ? std::max<qint64>(s.Paquet_Recu - 1, 0) : 0;
        const int wait = isPaused() ? -1 : s.retryInMs();
        out.retryInSeconds = wait < 0 ? -1 : (wait + 999) / 1000;
        out.attempt = s.failedAttempts() + 1;
        if (isPaused())
            out.activity = SlotActivity::Paused;
        else if (out.retryInSeconds >= 0)
            out.activity = SlotActivity::Retrying;
    }
    return st;
}

bool DownloadManager::completionDue() const
{
    if (m_state != State::Running || !m_plan.allDone())
        return false;
    for (const TransferSlot *s : m_slots) {
        if (s->isBusy())
            return false;
    }
    return true;
}

void DownloadManager::setState(State state)
{
    m_run.Downloading = state == State::Running || state == State::WaitingForServer || state == State::Paused
                        || state == State::Failed || state == State::Assembling;
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged(state);
    emit statusChanged(status());
}

int DownloadRun::percentOf(qint64 part, qint64 whole)
{
    return int(roundHalfAway(double(part) / double(whole) * 100.0));
}

FinalAssembler::Input DownloadManager::assemblyInput() const
{
    FinalAssembler::Input in;
    in.folder = downloadFolder();
    in.baseName = m_baseName;
    in.destination = finalFilePath();
    in.packCount = m_plan.packCount();
    in.packSize = m_plan.packSize();
    in.lastSize = m_run.Taille_Dernier;
    return in;
}

void DownloadManager::joinReadyPacks()
{
    // While the network is the limit the processor has time: the packs that are
    // complete from the start of the file on are joined now, so the finished
    // file is ready as soon as the last pack is in.
    const FinalAssembler::Input in = assemblyInput();
    while (m_joined < m_plan.packCount() && m_plan.isDone(m_joined)) {
        QString error;
        if (!FinalAssembler::joinNext(in, m_joined, &error)) {
            // A pack not whole yet is joined at the end; a write that failed
            // is told as for a pack, from the event loop (this may run inside
            // a slot's store loop, and the pause stops the slots).
            if (!error.isEmpty()) {
                QMetaObject::invokeMethod(this, [this, error] { stopWithFailure(DownloadFailure::LocalWrite, error); },
                                          Qt::QueuedConnection);
            }
            return;
        }
        ++m_joined;
    }
}

bool DownloadManager::joinFinalFile()
{
    if (finalInPlace())
        return true;
    if (!chooseFinalName())
        return false;
    QList<qint64> incomplete;
    QString error;
    setState(State::Assembling);
    if (FinalAssembler::assemble(assemblyInput(), &m_joined, &incomplete, &error))
        return true;
    setState(State::Running);
    if (incomplete.isEmpty()) {
        if (m_joined == m_plan.packCount())
            stopWithFailure(DownloadFailure::NotPlaced, error + QLatin1Char('\n') + FinalAssembler::workFilePath(assemblyInput()));
        else
            stopWithFailure(DownloadFailure::LocalWrite, error);
        return false;
    }
    // Packs lost from the disk since they were stored: fetch them again from
    // what their files still hold.
    QList<PackPlan::PendingPack> pending;
    for (qint64 k : incomplete) {
        const QFileInfo fi(packFilePath(k));
        pending.append({k, k >= m_joined && fi.exists() ? qMin(fi.size(), m_plan.packSize(k)) : 0});
    }
    m_plan.start(4, pending);
    // Every pack not listed counts as complete in the plan again.
    m_run.Paquets_Finis = m_plan.doneBytes();
    for (int n = 1; n <= 4; ++n)
        Demande_Paquet(n);
    sumReceived();
    return false;
}

void DownloadManager::completeProject()
{
    if (!joinFinalFile())
        return;
    const QString name = m_run.Project_Now;
    // Finished only once the project's record says so: a run stopped before
    // this finds the file in place and ends here again, fetching nothing.
    QString error;
    if (!m_queue->finish(name, &error)) {
        stopWithFailure(DownloadFailure::LocalWrite, error);
        return;
    }
    const QString finalFile = finalFilePath();
    // The last speeds of the file, then the final snapshot pair and the
    // statistics (the view's).
    onTimerSpeed();
    Timer_Speed->stop();
    Timer_Time->stop();
    Timer_Barre->stop();
    emit runEnded(true);
    if (!downloadFolder().isEmpty())
        QDir().rmdir(downloadFolder());
    m_filePath.clear();
    setState(State::Finished);
    // The kept-open connections are of no more use once the file is done.
    stopAllSlots();
    ReInit();
    emit tabRequested(2);
    emit projectFinished(name, finalFile);
}
