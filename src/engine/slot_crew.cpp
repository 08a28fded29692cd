#include "engine/slot_crew.h"

#include "core/settings.h"
#include "core/winsock.h"
#include "engine/download_files.h"
#include "engine/ftp_slot.h"
#include "engine/http_slot.h"
#include "engine/pack_register.h"
#include "projects/server_info.h"

#include <QTimer>

#include <algorithm>

SlotCrew::SlotCrew(bool ftp, const DownloadFiles &files, PackRegister &reg, WorkFile &work, QObject *parent)
    : QObject(parent), m_ftp(ftp), m_files(files), m_register(reg)
{
    makeSlots();
    for (TransferSlot *s : m_slots)
        s->setWorkFile(&work);
}

SlotCrew::~SlotCrew() = default;

void SlotCrew::makeSlots()
{
    // FTP slots connect one after the other, each after its timer (a moment
    // apart, so that a server that takes one log-in at a time is not met by
    // three at once; longer waits would be time the slot does not download);
    // HTTP slots at once. The sockets keep the names the program gives them.
    static const int ftpDelays[4] = {0, 100, 200, 300};
    const bool activeFirst = Settings::readInt(QStringLiteral("FtpActive"), 0) != 0;
    const auto socket = [this](const QString &name) {
        auto *w = new Winsock(this);
        w->setObjectName(name);
        return w;
    };
    for (int i = 0; i < 4; ++i) {
        TransferSlot *slot;
        if (m_ftp) {
            auto *ftp = new FtpSlot(i + 1, socket(QStringLiteral("WskF_%1").arg(i + 1)),
                                    socket(QStringLiteral("WskF%1").arg(i + 1)), this);
            ftp->setActiveFirst(activeFirst);
            slot = ftp;
            m_slotTimer[i] = new QTimer(this);
            m_slotTimer[i]->setObjectName(QStringLiteral("Timer_FTP_%1").arg(i + 1));
            m_slotTimer[i]->setInterval(ftpDelays[i]);
            m_slotTimer[i]->setSingleShot(true);
            connect(m_slotTimer[i], &QTimer::timeout, this, [this, i] { askPack(i + 1); });
        } else {
            slot = new HttpSlot(i + 1, socket(QStringLiteral("Winsock%1").arg(i + 1)), this);
        }
        m_slots[i] = slot;
        slot->setPlan(&m_plan);
        connect(slot, &TransferSlot::packCompleted, this, &SlotCrew::onPackCompleted);
        // The lines of the packs a chunk completed, then how far the pack in
        // progress is: both after the chunk's bytes, so that a kill loses only
        // what came after them.
        connect(slot, &TransferSlot::chunkStored, this, [this](int n, qint64 pack, qint64 stored) {
            if (!recordPacks())
                return;
            if (pack >= 0 && stored > 0)
                m_register.noteProgress(n - 1, pack, stored);
        });
        connect(slot, &TransferSlot::activityChanged, this, [this](int n, SlotActivity activity) {
            // A slot's last words after the crew stopped are not news: it
            // stays as the stop left it.
            if (!m_working)
                return;
            m_activity[n - 1] = activity;
            emit slotActivityChanged(n, activity);
        });
        connect(slot, &TransferSlot::dataStarted, this, &SlotCrew::dataStarted);
        connect(slot, &TransferSlot::bytesStored, this, [this](int n, qint64 count) {
            // The plan knows how far the pack is, so that a resume continues
            // from there.
            if (m_slots[n - 1]->writePosition() >= 1)
                m_plan.setStored(n, m_slots[n - 1]->packStored());
            m_served[n - 1] = true;
            sumReceived();
            emit bytesStored(count);
        });
        connect(slot, &TransferSlot::packsRequested, this, [this](int n, qint64 last) { m_plan.commitThrough(n, last); });
        connect(slot, &TransferSlot::requestsDropped, this, [this](int n) { m_plan.uncommit(n); });
        connect(slot, &TransferSlot::packRestarted, this, [this](int n) {
            // Its bytes are written anew from the first: the record that
            // counted the old ones goes, so that a kill never keeps a mix.
            m_register.forgetProgress(m_slots[n - 1]->packNumber());
            m_plan.setStored(n, 0);
            sumReceived();
        });
        // Failures stop the download, which stops every slot: they are told
        // from the event loop, once the slot that failed is out of its handler.
        connect(slot, &TransferSlot::connectionError, this, [this](int, int number, const QString &what) {
            if (number == Winsock::sckCertificateRefused)
                emit failed(DownloadFailure::Certificate, what);
            else if (number == Winsock::sckProxyRefused)
                emit failed(DownloadFailure::ProxyRefused, what);  // the text names the proxy
            else if (number == Winsock::sckHostNotFound || number == Winsock::sckConnectAborted)
                emit failed(DownloadFailure::Network, what);
        }, Qt::QueuedConnection);
        connect(slot, &TransferSlot::gaveUp, this, &SlotCrew::onGaveUp, Qt::QueuedConnection);
        connect(slot, &TransferSlot::writeFailed, this, [this](int, const QString &file, const QString &reason) {
            emit failed(DownloadFailure::LocalWrite, file + QStringLiteral(": ") + reason);
        }, Qt::QueuedConnection);
        connect(slot, &TransferSlot::fileChanged, this, [this](int, const QString &reason) {
            emit failed(DownloadFailure::ServerChanged, reason);
        }, Qt::QueuedConnection);
        connect(slot, &TransferSlot::accessRefused, this, [this](int, const QString &reason) {
            emit failed(DownloadFailure::AccessRefused, reason);
        }, Qt::QueuedConnection);
        connect(slot, &TransferSlot::serverBusy, this, &SlotCrew::serverBusy);
        connect(slot, &TransferSlot::restartRefused, this, &SlotCrew::onRestartRefused, Qt::QueuedConnection);
    }
}

bool SlotCrew::isIdle() const
{
    return std::none_of(std::begin(m_slots), std::end(m_slots), [](const TransferSlot *s) { return s->isBusy(); });
}

bool SlotCrew::waitsForServer() const
{
    bool any = false;
    for (const TransferSlot *s : m_slots) {
        if (s->isBusy() && !s->waitsForServer())
            return false;
        any = any || s->waitsForServer();
    }
    return any;
}

QList<QByteArray> SlotCrew::packsInProgress() const
{
    QList<QByteArray> files;
    for (const TransferSlot *s : m_slots) {
        if (s->isBusy())
            files.append(m_files.packFile(s->packNumber()).toUtf8());
    }
    return files;
}

void SlotCrew::setTarget(const QString &host, const QString &path, const ServerInfo &server, bool tls)
{
    for (TransferSlot *s : m_slots) {
        s->setTarget(host, path);
        if (auto *http = qobject_cast<HttpSlot *>(s)) {
            http->setValidators(server.etag, server.lastModified, server.ranges);
            http->setRequestHeaders(server.headers);
            http->setTls(tls);
        }
    }
}

void SlotCrew::setPatience(int stallMs, int retryMs)
{
    for (TransferSlot *s : m_slots) {
        s->setStallTimeout(stallMs);
        s->setRetryDelay(retryMs);
    }
}

void SlotCrew::startPlan(qint64 fileSize, qint64 packSize, const QList<PackPlan::PendingPack> &pending)
{
    m_plan = PackPlan(fileSize, packSize);
    // The probe's answer, kept for slot 1, brings the packs up to its last byte.
    const auto *first = qobject_cast<const HttpSlot *>(m_slots[0]);
    const qint64 reach = first && packSize > 0 ? first->keptAnswerReach() : -1;
    m_plan.start(slotCount(), pending, reach >= 0 ? reach / packSize + 1 : 0);
    m_finishedBytes = m_plan.doneBytes();
    sumReceived();
}

void SlotCrew::start()
{
    m_working = true;
    std::fill(std::begin(m_served), std::end(m_served), false);
    for (int n = 1; n <= slotCount(); ++n) {
        if (m_ftp)
            m_slotTimer[n - 1]->start();
        else
            askPack(n);
    }
    sumReceived();
}

void SlotCrew::resume()
{
    for (int n = 1; n <= slotCount(); ++n) {
        m_resting[n - 1] = false;
        m_slots[n - 1]->resetFailures();
    }
    start();
}

void SlotCrew::stop()
{
    // Timers first, so that none starts a connection while the others close.
    m_working = false;
    for (QTimer *t : m_slotTimer) {
        if (t)
            t->stop();
    }
    for (TransferSlot *s : m_slots)
        s->stop();
}

void SlotCrew::setActivities(SlotActivity activity)
{
    for (int n = 1; n <= 4; ++n)
        m_activity[n - 1] = n <= slotCount() || activity == SlotActivity::Idle ? activity : SlotActivity::Idle;
}

void SlotCrew::onRestartRefused(int n)
{
    // The server cannot start a transfer in the middle of the file: slot n
    // reads it from the start, and the others leave their work to it so that
    // it goes on along one stream.
    m_soleSlot = n;
    for (int k = 1; k <= slotCount(); ++k) {
        if (k == n)
            continue;
        if (m_slotTimer[k - 1])
            m_slotTimer[k - 1]->stop();
        m_slots[k - 1]->stop();
        m_plan.release(k);
        givePack(k, std::nullopt);
    }
    sumReceived();
}

void SlotCrew::onGaveUp(int n)
{
    if (!m_working)
        return;
    // A server that takes fewer connections than the crew opens (it answers
    // the others 503, or refuses them) still serves the ones it took: the
    // slot that gave up leaves its run to them. When no other slot is being
    // served the trouble is the network's, and the download stops.
    bool othersServed = false;
    for (int k = 1; k <= slotCount(); ++k) {
        const TransferSlot &s = *m_slots[k - 1];
        othersServed = othersServed || (k != n && !m_resting[k - 1] && m_served[k - 1] && s.failedAttempts() == 0);
    }
    if (!othersServed) {
        emit failed(DownloadFailure::Network, m_slots[n - 1]->lastTrouble());
        return;
    }
    m_resting[n - 1] = true;
    m_plan.release(n);
    givePack(n, std::nullopt);
    // The run it gave back waits for the slots at rest between runs.
    for (int k = 1; k <= slotCount(); ++k) {
        if (!m_slots[k - 1]->isBusy() && !m_resting[k - 1] && !(m_slotTimer[k - 1] && m_slotTimer[k - 1]->isActive()))
            askPack(k);
    }
    sumReceived();
}

void SlotCrew::askPack(int n)
{
    givePack(n, m_plan.next(n));
}

void SlotCrew::givePack(int n, std::optional<PackPlan::SlotPack> pack)
{
    TransferSlot &s = *m_slots[n - 1];
    if (n > slotCount() || m_resting[n - 1] || (m_soleSlot && n != m_soleSlot)) {
        pack.reset();
    } else if (!pack && m_ftp && !m_plan.hasWaitingGroup() && m_plan.unstartedCount() < FtpLeastSteal * slotCount()) {
        // Near the end an FTP slot leaves the last packs to the transfers that
        // carry them: a new transfer costs its set-up, and the owner's stream
        // runs on past the cut until its ABOR arrives, so a small steal costs
        // more bytes and time than it saves.
    } else if (!pack) {
        // A run cut short by this reads its new end from the plan: its slot
        // asks for less from now on, and nothing it asked for is taken.
        pack = m_plan.next(n);
    }
    showNewPack(n, pack.has_value());
    if (!pack) {
        // Nothing is left to start: an idle slot holds no connection.
        s.setIdle();
        s.stop();
        return;
    }
    s.setPack(pack->number, pack->start, pack->size, pack->stored);
    // A pack found whole at once (a resumed one) was completed right there.
    recordPacks();
}

bool SlotCrew::recordPacks()
{
    QString reason;
    if (m_register.flush(&reason))
        return true;
    // Those packs are fetched again after a restart; the download stops now
    // (from the event loop: this runs inside a slot's store loop).
    const QString detail = m_register.path() + QStringLiteral(": ") + reason;
    QMetaObject::invokeMethod(this, [this, detail] { emit failed(DownloadFailure::LocalWrite, detail); },
                              Qt::QueuedConnection);
    return false;
}

void SlotCrew::showNewPack(int n, bool busy)
{
    m_activity[n - 1] = busy ? SlotActivity::Connecting : SlotActivity::Idle;
    emit slotActivityChanged(n, m_activity[n - 1]);
}

void SlotCrew::onPackCompleted(int n, qint64 pack, qint64 size)
{
    // Slot n is inside its store loop: the plan moves on here, and the slot
    // goes on with the plan's next pack of its run when this returns. The
    // pack's line goes out with the chunk's others (recordPacks()).
    if (!m_plan.sizeKnown()) {
        m_plan.learnSize(size);
        emit sizeLearned(size);
        if (size == 0) {
            // An empty file: no pack, nothing to record.
            sumReceived(n);
            emit packDone();
            return;
        }
    }
    m_register.queue(m_files.packFile(pack).toUtf8(), '1');
    m_finishedBytes += size;
    if (m_plan.packDone(n)) {
        showNewPack(n, true);
    } else {
        // The run is over: more work comes from the event loop. The crew may
        // have stopped by then, and a resume gives work anew.
        QMetaObject::invokeMethod(this, [this, n] {
            if (!m_working)
                return;
            askPack(n);
            sumReceived();
        }, Qt::QueuedConnection);
    }
    // The slot's own position still counts the pack just finished.
    sumReceived(n);
    emit packDone();
}

void SlotCrew::sumReceived(int leaveOut)
{
    qint64 sum = m_finishedBytes;
    for (int n = 1; n <= 4; ++n)
        sum += n == leaveOut ? 0 : m_slots[n - 1]->writePosition();
    m_received = sum;
}
