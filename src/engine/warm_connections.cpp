#include "engine/warm_connections.h"

#include "core/proxy_choice.h"
#include "core/winsock.h"
#include "engine/url_helpers.h"
#include "engine/url_probe.h"

#include <QList>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {
constexpr quint16 kHttpPort = 80;
constexpr quint16 kHttpsPort = 443;

struct Pool
{
    QString host;                     // lower case, no login
    bool tls = false;
    QList<QPointer<Winsock>> sockets;
    QString answerPath;               // the file the kept answer is of; empty: none kept
    QPointer<Winsock> answerSocket;   // its connection, while open
    // The server closed it (an idle timeout, or "Connection: close"): what
    // it had sent is all in answer.received.
    bool answerClosed = false;
    WarmConnections::Answer answer;
    QTimer *expiry = nullptr;
};

Pool &pool()
{
    static Pool p;
    return p;
}

// The server's name (lower case, no login) and path of an address, or an
// empty name for one no connection can be kept for.
QString serverOf(const QString &address, bool *tls, QString *path)
{
    QString stored = UrlProbe::storedAddress(address);
    *tls = stored.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
    const bool ftp = address.startsWith(QLatin1String("ftp"), Qt::CaseInsensitive)
                     || stored.startsWith(QLatin1String("ftp"), Qt::CaseInsensitive);
    QByteArray user, password;
    return stored.isEmpty() || ftp ? QString() : splitLogin(Extract_URL2(stored, path), &user, &password).toLower();
}

void keepFor(Pool &p, const QString &host, bool tls)
{
    if (host == p.host && tls == p.tls && !host.isEmpty())
        return;
    WarmConnections::closeAll();
    p.host = host;
    p.tls = tls;
    if (!p.expiry) {
        p.expiry = new QTimer;
        p.expiry->setSingleShot(true);
        QObject::connect(p.expiry, &QTimer::timeout, [] { WarmConnections::closeAll(); });
    }
}

void dropAnswer(Pool &p)
{
    if (p.answerSocket)
        p.answerSocket->deleteLater();
    p.answerSocket = nullptr;
    p.answerClosed = false;
    p.answerPath.clear();
    p.answer = WarmConnections::Answer{};
}

bool isUnderWay(const Winsock *w)
{
    return w && w->socket() && w->socket()->state() != QAbstractSocket::UnconnectedState
           && (w->State() == Winsock::sckConnected || w->State() == Winsock::sckConnecting
               || w->State() == Winsock::sckResolvingHost);
}
} // namespace

void WarmConnections::open(const QString &address, int count)
{
    bool tls = false;
    QString path;
    const QString host = serverOf(address, &tls, &path);
    Pool &p = pool();
    // The same server again (its address after the probe): what is open
    // stays, and only what is missing is opened.
    keepFor(p, host, tls);
    if (host.isEmpty())
        return;
    p.sockets.removeAll(nullptr);
    qsizetype have = p.sockets.size() + (p.answerSocket ? 1 : 0);
    for (; have < count; ++have) {
        auto *w = new Winsock;
        w->setTls(tls);
        w->setProxy(ProxyChoice::forServer(tls ? QStringLiteral("https") : QStringLiteral("http"), host));
        // A connection that fails or is closed before anyone takes it is of
        // no use: it goes at once.
        QObject::connect(w, &Winsock::Error, w, &QObject::deleteLater);
        QObject::connect(w, &Winsock::Closed, w, &QObject::deleteLater);
        w->Connect(host, tls ? kHttpsPort : kHttpPort);
        p.sockets.append(w);
    }
    p.expiry->start(KeepMs);
}

Winsock *WarmConnections::take(const QString &host, bool tls)
{
    Pool &p = pool();
    if (tls != p.tls || host.toLower() != p.host)
        return nullptr;
    while (!p.sockets.isEmpty()) {
        Winsock *w = p.sockets.takeFirst();
        // Connected, or on its way (its attempt under way: a handshake not
        // done yet still saves the time it has run).
        if (isUnderWay(w)) {
            QObject::disconnect(w, nullptr, w, nullptr);
            return w;
        }
    }
    return nullptr;
}

void WarmConnections::keepAnswer(const QString &address, Winsock &probe, const QByteArray &received,
                                 qint64 last, bool ranged)
{
    bool tls = false;
    QString path;
    const QString host = serverOf(address, &tls, &path);
    if (host.isEmpty())
        return;
    Pool &p = pool();
    keepFor(p, host, tls);
    dropAnswer(p);
    auto *w = new Winsock;
    w->adopt(probe);
    QObject::connect(w, &Winsock::Error, w, [w] {
        if (pool().answerSocket == w)
            dropAnswer(pool());
        w->deleteLater();
    });
    // A server that closes the connection once it has answered (or after an
    // idle while) leaves the answer whole in what was read: it is kept, and
    // slot 1 reads it as a response followed by a close.
    QObject::connect(w, &Winsock::Closed, w, [w] {
        Pool &p = pool();
        if (p.answerSocket == w) {
            p.answer.received += w->GetData();
            p.answerClosed = true;
            p.answerSocket = nullptr;
        }
        w->deleteLater();
    });
    p.answerSocket = w;
    p.answerPath = path;
    p.answer = Answer{nullptr, received, last, ranged};
    p.expiry->start(KeepMs);
}

qint64 WarmConnections::answerReach(const QString &host, const QString &path, bool tls)
{
    const Pool &p = pool();
    const bool kept = !p.answerPath.isEmpty() && (p.answerSocket || p.answerClosed) && tls == p.tls
                      && host.toLower() == p.host && path == p.answerPath;
    return kept ? p.answer.last : -1;
}

bool WarmConnections::takeAnswer(const QString &host, const QString &path, bool tls, Answer *answer)
{
    Pool &p = pool();
    if (answerReach(host, path, tls) < 0)
        return false;
    Winsock *w = p.answerSocket;
    *answer = p.answer;
    const bool closed = p.answerClosed;
    p.answerSocket = nullptr;
    dropAnswer(p);
    if (closed)
        return true;   // no connection: the bytes read are all it brought
    if (!isUnderWay(w) || w->State() != Winsock::sckConnected) {
        w->deleteLater();
        return false;
    }
    QObject::disconnect(w, nullptr, w, nullptr);
    answer->socket = w;
    return true;
}

void WarmConnections::closeAll()
{
    Pool &p = pool();
    for (const QPointer<Winsock> &w : std::as_const(p.sockets)) {
        if (w)
            w->deleteLater();
    }
    p.sockets.clear();
    dropAnswer(p);
    p.host.clear();
    if (p.expiry)
        p.expiry->stop();
}
