#include "app/url_listener.h"

#include "core/url_hand_off.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>
#include <utility>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Connections served at once; more are closed at once (the TCP port is open
// to every local user).
constexpr int kMaxConnections = 32;
// A message is what has arrived once the sender has been quiet this long: a
// long address may come in several blocks.
constexpr int kSettleMs = 20;

// The process at the other end of a local socket runs as this user.
bool sameUser(QLocalSocket *socket)
{
    ucred peer{};
    socklen_t size = sizeof(peer);
    return getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0
           && peer.uid == ::getuid();
}

// The sender is still there to read an answer.
bool connected(QIODevice *peer)
{
    if (auto *l = qobject_cast<QLocalSocket *>(peer))
        return l->state() == QLocalSocket::ConnectedState;
    auto *t = qobject_cast<QTcpSocket *>(peer);
    return t && t->state() == QAbstractSocket::ConnectedState;
}

void say(QIODevice *peer, const QByteArray &answer)
{
    if (connected(peer))
        peer->write(answer);
}

void hangUp(QIODevice *peer)
{
    if (auto *l = qobject_cast<QLocalSocket *>(peer))
        l->disconnectFromServer();
    else if (auto *t = qobject_cast<QTcpSocket *>(peer))
        t->disconnectFromHost();
}
} // namespace

UrlListener::UrlListener(QObject *parent)
    : QObject(parent)
    , m_local(new QLocalServer(this))
    , m_tcp(new QTcpServer(this))
{
    m_local->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_local, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *s = m_local->nextPendingConnection()) {
            if (sameUser(s)) {
                serve(s);
            } else {
                s->abort();
                s->deleteLater();
            }
        }
    });
    connect(m_tcp, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = m_tcp->nextPendingConnection())
            serve(s);
    });
}

UrlListener::~UrlListener() = default;

bool UrlListener::open(const QString &socketPath, quint16 port)
{
    close();
    m_failure.clear();
    if (socketPath.isEmpty()) {
        m_failure = QStringLiteral("no folder of this user's own for the hand-off socket");
    } else {
        // A socket that answers belongs to a running copy and stays its (the
        // listen below would replace it); one left by a copy that crashed
        // answers nobody and is replaced.
        QLocalSocket other;
        other.connectToServer(socketPath);
        if (other.waitForConnected(1000)) {
            other.abort();
            m_failure = QStringLiteral("%1 is in use by another copy").arg(socketPath);
        } else {
            QLocalServer::removeServer(socketPath);
            if (!m_local->listen(socketPath))
                m_failure = QStringLiteral("%1 cannot be opened (%2)").arg(socketPath, m_local->errorString());
        }
    }
    if (port != 0 && !m_tcp->listen(QHostAddress::LocalHost, port)) {
        const QString tcp = QStringLiteral("port %1 cannot be opened (%2)").arg(port).arg(m_tcp->errorString());
        m_failure = m_failure.isEmpty() ? tcp : m_failure + QStringLiteral("; ") + tcp;
    }
    return m_failure.isEmpty();
}

bool UrlListener::isListening() const
{
    return m_local->isListening();
}

void UrlListener::close()
{
    m_local->close();
    m_tcp->close();
    for (QIODevice *peer : findChildren<QIODevice *>())
        peer->deleteLater();
}

QString UrlListener::socketPath() const
{
    return m_local->fullServerName();
}

quint16 UrlListener::port() const
{
    return m_tcp->isListening() ? m_tcp->serverPort() : 0;
}

void UrlListener::serve(QIODevice *peer)
{
    if (m_open >= kMaxConnections) {
        hangUp(peer);
        peer->deleteLater();
        return;
    }
    ++m_open;
    // The connections are the listener's children until they end.
    peer->setParent(this);
    connect(peer, &QObject::destroyed, this, [this] { --m_open; });
    struct State
    {
        QByteArray data;
        bool done = false;
    };
    auto state = std::make_shared<State>();
    auto *silence = new QTimer(peer);
    auto *settle = new QTimer(peer);
    silence->setSingleShot(true);
    settle->setSingleShot(true);
    settle->setInterval(kSettleMs);
    const auto finish = [this, peer, state, silence, settle] {
        if (std::exchange(state->done, true))
            return;
        silence->stop();
        settle->stop();
        if (state->data.isEmpty() || !take(peer, state->data))
            hangUp(peer);
    };
    connect(peer, &QIODevice::readyRead, settle, [peer, state, settle] {
        const QByteArray block = peer->readAll();
        if (!state->done) {
            state->data += block;
            settle->start();
        }
    });
    connect(settle, &QTimer::timeout, peer, finish);
    // Silent for too long: dropped without an answer.
    connect(silence, &QTimer::timeout, peer, [peer] {
        hangUp(peer);
        peer->deleteLater();
    });
    // A sender that leaves at once after its message still has it taken.
    const auto gone = [peer, finish] {
        finish();
        peer->deleteLater();
    };
    if (auto *l = qobject_cast<QLocalSocket *>(peer))
        connect(l, &QLocalSocket::disconnected, peer, gone);
    else
        connect(static_cast<QTcpSocket *>(peer), &QTcpSocket::disconnected, peer, gone);
    silence->start(m_silenceMs);
}

bool UrlListener::isWaiting(quint64 ticket) const
{
    const QPointer<QIODevice> peer = m_waiting.value(ticket);
    return peer && connected(peer);
}

bool UrlListener::answerProbe(quint64 ticket, bool probed, const QString &why)
{
    const QPointer<QIODevice> peer = m_waiting.take(ticket);
    if (!peer || !connected(peer))
        return false;
    peer->write(probed ? UrlHandOff::Probed : UrlHandOff::Refused + why.simplified().toUtf8() + '\n');
    hangUp(peer);
    return true;
}

bool UrlListener::take(QIODevice *peer, const QByteArray &message)
{
    if (message == UrlHandOff::ShowRequest) {
        emit showRequested();
        say(peer, UrlHandOff::Ack);
        return false;
    }
    emit messageReceived();
    // The address on the first line, its header lines on the next ones.
    QList<QByteArray> lines = message.split('\n');
    QByteArray first = lines.takeFirst();
    const bool waits = first.startsWith(UrlHandOff::ProbePrefix);
    if (!waits && !first.startsWith(UrlHandOff::Prefix))
        return false;
    first.remove(0, waits ? UrlHandOff::ProbePrefix.size() : UrlHandOff::Prefix.size());
    HandedOver handOff;
    handOff.address = QString::fromUtf8(first).trimmed();
    if (handOff.address.isEmpty())
        return false;
    for (QByteArray line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        QString why;
        if (!line.isEmpty() && !handOff.headers.add(line, &why)) {
            say(peer, UrlHandOff::Refused + why.toUtf8() + '\n');
            return false;
        }
    }
    if (waits) {
        handOff.ticket = ++m_lastTicket;
        m_waiting.insert(handOff.ticket, peer);
        connect(peer, &QObject::destroyed, this, [this, ticket = handOff.ticket] { m_waiting.remove(ticket); });
    }
    // Only now may the sender say the address arrived.
    say(peer, UrlHandOff::Ack);
    emit addressReceived(handOff);
    return waits;
}
