#include "engine/transfer_slot.h"

#include "engine/pack_plan.h"
#include "engine/work_file.h"

#include <QTimer>

#include <algorithm>
#include <climits>

TransferSlot::TransferSlot(int number, QObject *parent)
    : QObject(parent), m_number(number), m_retryTimer(new QTimer(this))
{
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, [this] {
        m_serverWait = false;
        retryNow();
    });
}

void TransferSlot::setPack(qint64 number, qint64 start, qint64 size, qint64 stored)
{
    if (size <= 0) {
        setIdle();
        return;
    }
    takePack(number, start, size, stored);
    m_halted = false;
    // A resumed pack whose bytes are all in its file is recorded at once.
    if (!wantsBytes())
        completePack();
    reconsider();
}

void TransferSlot::setIdle()
{
    Paquet_Taille = 0;
    Paquet_Recu = 0;
    m_retryTimer->stop();
    reconsider();
}

void TransferSlot::stop()
{
    closeConnections();
    m_retryTimer->stop();
    m_halted = true;
}

void TransferSlot::takePack(qint64 number, qint64 start, qint64 size, qint64 stored)
{
    Paquet_Numero = number;
    Paquet_Debut = start;
    Paquet_Taille = size;
    Paquet_Recu = std::clamp<qint64>(stored, 0, size) + 1;
}

void TransferSlot::beginStream(qint64 offset)
{
    m_streamOffset = offset;
    m_streamStarted = false;
}

qint64 TransferSlot::storeBody(const char *data, qint64 size)
{
    qint64 done = 0;
    bool wrote = false;
    while (done < size && wantsBytes()) {
        const qint64 want = firstMissingByte();
        if (m_streamOffset > want)
            break;   // a pack behind the stream needs a transfer of its own
        if (m_streamOffset < want) {
            const qint64 skip = std::min(size - done, want - m_streamOffset);
            done += skip;
            m_streamOffset += skip;
            continue;
        }
        // The packs of the run after the current one are the slot's alone
        // (nobody takes a pack it has begun or asked for, and the rest of its
        // run is cut only from the event loop): the bytes up to the run's end
        // go into the file in one write, and the packs they fill are
        // completed one after the other.
        const qint64 packLeft = Paquet_Taille - (Paquet_Recu - 1);
        const qint64 runEnd = std::max(want + packLeft, m_plan ? m_plan->runLastByte(m_number) + 1 : 0);
        const qint64 span = std::min(size - done, runEnd - want);
        if (!m_work || !m_work->write(want, data + done, span)) {
            writeFailure(m_work ? m_work->errorString() : QStringLiteral("No file to write into"));
            return -1;
        }
        wrote = true;
        qint64 used = 0;
        while (used < span && wantsBytes() && firstMissingByte() == want + used) {
            if (!m_streamStarted || m_announcedPack != Paquet_Numero) {
                const bool first = !m_streamStarted;
                m_streamStarted = true;
                Entete_Lu = true;
                m_announcedPack = Paquet_Numero;
                emit activityChanged(m_number, SlotActivity::Downloading);
                if (first)
                    emit dataStarted(m_number);
            }
            const qint64 piece = std::min(span - used, Paquet_Taille - (Paquet_Recu - 1));
            Paquet_Recu += piece;
            used += piece;
            m_attemptBytes += piece;
            emit bytesStored(m_number, piece);
            if (!wantsBytes()) {
                ++m_attemptPacks;
                completePack();
            }
        }
        done += used;
        m_streamOffset += used;
    }
    // Once per chunk, after its bytes and the packs it completed: how far the
    // pack in progress is, for a start after a kill.
    if (wrote)
        emit chunkStored(m_number, Paquet_Taille > 0 ? Paquet_Numero : -1, packStored());
    return done;
}

bool TransferSlot::streamsUnknownSize() const
{
    return m_plan && !m_plan->sizeKnown() && Paquet_Taille > 0;
}

void TransferSlot::endUnknownSize()
{
    if (!streamsUnknownSize())
        return;
    Paquet_Taille = Paquet_Recu - 1;
    ++m_attemptPacks;
    completePack();
    // The stream's end comes after its last chunk: the pack's line goes out
    // as a chunk's would.
    emit chunkStored(m_number, -1, 0);
}

void TransferSlot::writeFailure(const QString &reason)
{
    const QString path = m_work ? m_work->path() : QString();
    stop();
    emit writeFailed(m_number, path, reason);
}

void TransferSlot::completePack()
{
    const qint64 done = Paquet_Numero;
    emit packCompleted(m_number, done, Paquet_Taille);
    // The receiver moved the plan on: the next pack of the run, or none. A
    // plan still at this pack (its completion could not be recorded) leaves
    // the slot idle until the crew gives it work again.
    const auto next = m_plan ? m_plan->currentPack(m_number) : std::nullopt;
    if (next && next->number != done) {
        takePack(next->number, next->start, next->size, next->stored);
    } else {
        Paquet_Taille = 0;
        Paquet_Recu = 0;
    }
}

void TransferSlot::haltWith(int number, const QString &description)
{
    m_retryTimer->stop();
    m_halted = true;
    emit connectionError(m_number, number, description);
}

void TransferSlot::refuseAddress()
{
    m_retryTimer->stop();
    m_halted = true;
    emit fileChanged(m_number, QStringLiteral("its address holds a line break, which no request may carry"));
}

void TransferSlot::retryLater()
{
    m_retryTimer->stop();
    if (!wantsBytes() || m_halted)
        return;  // nothing was being fetched: no attempt to count
    // A connection that brought a good share before it broke is a new trouble,
    // not the next one of a series; one that dies after every few bytes is.
    if (m_attemptBytes >= MeaningfulAttempt || m_attemptPacks > 0)
        m_failures = 0;
    m_attemptBytes = 0;
    m_attemptPacks = 0;
    ++m_failures;
    ++m_failuresTotal;
    if (m_failures >= MaxFailedAttempts) {
        m_halted = true;
        emit gaveUp(m_number);
        return;
    }
    const qint64 delay = qint64(m_retryDelay) << std::min(m_failures - 1, 20);
    m_retryTimer->start(int(std::min<qint64>(delay, INT_MAX)));
}

void TransferSlot::waitForServer(int seconds)
{
    m_retryTimer->stop();
    closeConnections();
    if (!wantsBytes() || m_halted)
        return;
    m_attemptBytes = 0;
    m_attemptPacks = 0;
    m_serverWait = true;
    m_retryTimer->start(std::clamp(seconds, 1, MaxServerWait) * 1000);
    emit serverBusy(m_number, seconds);
}

bool TransferSlot::waitsForServer() const
{
    return m_serverWait && m_retryTimer->isActive();
}

int TransferSlot::retryInMs() const
{
    return m_retryTimer->isActive() ? m_retryTimer->remainingTime() : -1;
}
