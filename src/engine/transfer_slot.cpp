#include "engine/transfer_slot.h"

#include <QTimer>

#include <algorithm>
#include <climits>

TransferSlot::TransferSlot(int number, QObject *parent)
    : QObject(parent), m_number(number), m_retryTimer(new QTimer(this))
{
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, [this] { retryNow(); });
}

void TransferSlot::setPack(qint64 number, qint64 start, qint64 size, qint64 stored)
{
    if (size <= 0) {
        setIdle();
        return;
    }
    takePack(number, start, size, stored);
    ++m_packToken;
    m_halted = false;
    if (!wantsBytes())
        completeWholePackLater();
    reconsider();
}

void TransferSlot::setIdle()
{
    Paquet_Taille = 0;
    Paquet_Recu = 0;
    closePackFile();
    m_retryTimer->stop();
    ++m_packToken;
    reconsider();
}

void TransferSlot::takePack(qint64 number, qint64 start, qint64 size, qint64 stored)
{
    if (m_filePack != number)
        closePackFile();
    Paquet_Numero = number;
    Paquet_Debut = start;
    Paquet_Taille = size;
    Paquet_Recu = std::clamp<qint64>(stored, 0, size) + 1;
}

void TransferSlot::closePackFile()
{
    m_packFile.close();
    m_filePack = -1;
}

bool TransferSlot::writePackBytes(const char *data, qint64 piece, QString *reason)
{
    const qint64 stored = Paquet_Recu - 1;
    if (!m_packFile.isOpen() || m_filePack != Paquet_Numero || m_packFile.position() != stored) {
        m_filePack = Paquet_Numero;
        if (!m_packFile.open(m_packPath ? m_packPath(Paquet_Numero) : QString(), stored)) {
            *reason = m_packFile.errorString();
            return false;
        }
    }
    if (!m_packFile.write(data, piece)) {
        *reason = m_packFile.errorString();
        return false;
    }
    Paquet_Recu += piece;
    return true;
}

void TransferSlot::completePack()
{
    closePackFile();
    emit packCompleted(m_number, Paquet_Numero, Paquet_Taille, m_packPath ? m_packPath(Paquet_Numero) : QString());
}

void TransferSlot::completeWholePackLater()
{
    const quint64 token = m_packToken;
    QMetaObject::invokeMethod(this, [this, token]() {
        if (token != m_packToken || Paquet_Taille <= 0 || wantsBytes())
            return;
        completePack();
        reconsider();
    }, Qt::QueuedConnection);
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

int TransferSlot::retryInMs() const
{
    return m_retryTimer->isActive() ? m_retryTimer->remainingTime() : -1;
}
