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
    QTimer *expiry = nullptr;
};

Pool &pool()
{
    static Pool p;
    return p;
}
} // namespace

void WarmConnections::open(const QString &address, int count)
{
    QString stored = UrlProbe::storedAddress(address);
    const bool tls = stored.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
    const bool ftp = address.startsWith(QLatin1String("ftp"), Qt::CaseInsensitive)
                     || stored.startsWith(QLatin1String("ftp"), Qt::CaseInsensitive);
    QString path;
    QByteArray user, password;
    const QString host = stored.isEmpty() || ftp ? QString() : splitLogin(Extract_URL2(stored, &path), &user, &password);
    Pool &p = pool();
    // The same server again (its address after the probe): what is open stays.
    if (!host.isEmpty() && host.toLower() == p.host && tls == p.tls) {
        p.expiry->start(KeepMs);
        return;
    }
    closeAll();
    if (host.isEmpty())
        return;
    p.host = host.toLower();
    p.tls = tls;
    for (int k = 0; k < count; ++k) {
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
    if (!p.expiry) {
        p.expiry = new QTimer;
        p.expiry->setSingleShot(true);
        QObject::connect(p.expiry, &QTimer::timeout, [] { closeAll(); });
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
        const bool underWay = w && w->socket() && w->socket()->state() != QAbstractSocket::UnconnectedState;
        if (underWay && (w->State() == Winsock::sckConnected || w->State() == Winsock::sckConnecting
                         || w->State() == Winsock::sckResolvingHost)) {
            QObject::disconnect(w, nullptr, w, nullptr);
            return w;
        }
    }
    return nullptr;
}

void WarmConnections::closeAll()
{
    Pool &p = pool();
    for (const QPointer<Winsock> &w : std::as_const(p.sockets)) {
        if (w)
            w->deleteLater();
    }
    p.sockets.clear();
    p.host.clear();
    if (p.expiry)
        p.expiry->stop();
}
