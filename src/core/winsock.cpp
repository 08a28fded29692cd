#include "core/winsock.h"

#include <algorithm>
#include <utility>
#include <climits>

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>

// A listener whose incoming connections are made by Winsock::createSocket, like
// every other socket of the program.
class Winsock::Server : public QTcpServer
{
public:
    explicit Server(QObject *parent) : QTcpServer(parent) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        QTcpSocket *s = Winsock::createSocket(this);
        if (!s->setSocketDescriptor(descriptor)) {
            delete s;
            return;
        }
        addPendingConnection(s);
    }
};

namespace {

// Connections announced by ConnectionRequest and not yet taken by Accept, shared
// by every Winsock of the process: the listener that announced a request is often
// not the object that accepts it.
struct PendingRequest
{
    QPointer<QTcpSocket> socket;
    QPointer<Winsock> listener;
};

QHash<int, PendingRequest> &pendingRequests()
{
    static QHash<int, PendingRequest> requests;
    return requests;
}

int nextRequestId()
{
    static int last = 0;
    if (last == INT_MAX)
        last = 0;
    return ++last;
}

int errorNumber(QAbstractSocket::SocketError error, bool wasConnected)
{
    switch (error) {
    case QAbstractSocket::HostNotFoundError:
        return Winsock::sckHostNotFound;
    case QAbstractSocket::ConnectionRefusedError:
        return Winsock::sckConnectionRefused;
    case QAbstractSocket::SocketTimeoutError:
        return Winsock::sckTimedout;
    case QAbstractSocket::AddressInUseError:
        return Winsock::sckAddressInUse;
    case QAbstractSocket::SocketAccessError:
        return Winsock::sckPermissionDenied;
    case QAbstractSocket::RemoteHostClosedError:
        return Winsock::sckConnectAborted;
    case QAbstractSocket::NetworkError:
        // A connection that worked and then failed was cut; a failure while
        // connecting is some other trouble on the way.
        return wasConnected ? Winsock::sckConnectAborted : Winsock::sckOther;
    default:
        return Winsock::sckOther;
    }
}

// Dotted text of an IPv4 address, also when Qt holds it as IPv4-mapped IPv6.
QString addressText(const QHostAddress &address)
{
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : address.toString();
}

// Names under "invalid" are reserved never to resolve (RFC 6761), so they fail
// without asking the resolver.
bool isReservedInvalid(QString name)
{
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name.compare(QLatin1String("invalid"), Qt::CaseInsensitive) == 0
           || name.endsWith(QLatin1String(".invalid"), Qt::CaseInsensitive);
}

// What TLS connections trust and remember, shared by every socket of the process.
struct TlsState
{
    // The authorities of the named file. A server is trusted when the system's
    // store or these vouch for it: a connection checks against the system's
    // first (looked up on demand; reading the whole store costs more than a
    // handshake) and, when that finds no authority, again against these.
    QList<QSslCertificate> named;
    QSet<QString> namedPeers;              // "host:port" that the named authorities vouch for
    QString authorityError;                // why the named file cannot be used
    QHash<QString, QByteArray> sessions;   // "host:port" -> the server's last session ticket
};

TlsState &tlsState()
{
    static TlsState state;
    return state;
}

// The certificate leads to no authority the connection trusts.
bool lacksAuthority(const QSslError &e)
{
    switch (e.error()) {
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
        return true;
    default:
        return false;
    }
}

QString firstMachineAddress()
{
    const QList<QHostAddress> all = QNetworkInterface::allAddresses();
    for (const QHostAddress &a : all) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
            return a.toString();
    }
    return QStringLiteral("127.0.0.1");
}

} // namespace

Winsock::Winsock(QObject *parent) : QObject(parent) {}

Winsock::~Winsock()
{
    // The owner may be destroyed from inside one of this socket's handlers, so
    // the Qt objects are released the same deferred way as in Close().
    Close();
}

bool Winsock::setAuthorityFile(const QString &path, QString *error)
{
    TlsState &tls = tlsState();
    tls.named.clear();
    tls.namedPeers.clear();
    tls.authorityError.clear();
    // A session resumed skips the certificate check: none outlives the trust it was checked with.
    tls.sessions.clear();
    if (path.isEmpty())
        return true;
    // Certificates are a few kilobytes each: a file that is not a regular one
    // (a pipe, a device such as /dev/zero) or that is far too large is refused
    // before a byte is read, so that it can neither hang nor fill the memory.
    static constexpr qint64 MostBytes = 1 << 20;
    const QFileInfo info(path);
    QFile file(path);
    if (info.exists() && !info.isFile())
        tls.authorityError = QStringLiteral("it is not a regular file");
    else if (info.size() > MostBytes)
        tls.authorityError = QStringLiteral("it is larger than 1 MiB");
    else if (!file.open(QIODevice::ReadOnly))
        tls.authorityError = file.errorString();
    else if (const auto found = QSslCertificate::fromData(file.read(MostBytes), QSsl::Pem); found.isEmpty())
        tls.authorityError = QStringLiteral("it holds no PEM certificate");
    else
        tls.named = found;
    if (!tls.authorityError.isEmpty())
        tls.authorityError = QStringLiteral("The certificate authority file %1 cannot be used: %2").arg(path, tls.authorityError);
    if (error)
        *error = tls.authorityError;
    return tls.authorityError.isEmpty();
}

QString Winsock::certificateProblem(const QList<QSslError> &errors, const QString &host)
{
    QStringList problems;
    const auto add = [&problems](const QString &text) {
        if (!problems.contains(text))
            problems.append(text);
    };
    for (const QSslError &e : errors) {
        switch (e.error()) {
        case QSslError::CertificateExpired:
            add(QStringLiteral("has expired"));
            break;
        case QSslError::CertificateNotYetValid:
            add(QStringLiteral("is not valid yet"));
            break;
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
            add(QStringLiteral("is self-signed"));
            break;
        case QSslError::HostNameMismatch:
            add(QStringLiteral("was made for another host name"));
            break;
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
            add(QStringLiteral("comes from an unknown authority"));
            break;
        default:
            add(QStringLiteral("was refused (%1)").arg(e.errorString()));
        }
    }
    if (problems.isEmpty())
        problems.append(QStringLiteral("was refused"));
    return QStringLiteral("The certificate of %1 %2").arg(host, problems.join(QStringLiteral(" and ")));
}

QTcpSocket *Winsock::createSocket(QObject *parent, bool tls, const QString &peer, bool namedTrust)
{
    QTcpSocket *s = nullptr;
    if (tls) {
        auto *ssl = new QSslSocket(parent);
        QSslConfiguration c = QSslConfiguration::defaultConfiguration();
        c.setPeerVerifyMode(QSslSocket::VerifyPeer);
        if (namedTrust)
            c.setCaCertificates(tlsState().named);
        // The session is kept so that the next connection to this server
        // resumes it instead of a full handshake.
        c.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
        c.setSessionTicket(tlsState().sessions.value(peer));
        ssl->setSslConfiguration(c);
        // Bytes wait here, decrypted, until the reader takes them. Bounded, each
        // pass decrypts a little into memory that is reused; unbounded, the
        // stream went through freshly mapped memory and cost twice the CPU.
        ssl->setReadBufferSize(64 * 1024);
        s = ssl;
    } else {
        s = new QTcpSocket(parent);
    }
    // Qt's process-wide proxy is never used: Connect sets the one chosen for
    // the connection (ProxyChoice).
    s->setProxy(QNetworkProxy::NoProxy);
    return s;
}

void Winsock::splitHostPort(const QString &text, quint16 defaultPort, QString *host, quint16 *port)
{
    QString h = text;
    quint16 p = defaultPort;
    QString portText;
    bool hasPort = false;

    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close > 0) {
            const QString rest = text.mid(close + 1);
            if (rest.isEmpty() || rest.startsWith(QLatin1Char(':'))) {
                h = text.mid(1, close - 1);
                hasPort = !rest.isEmpty();
                portText = rest.mid(1);
            }
        }
    } else {
        const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
        // More than one colon is a bare IPv6 literal, which carries no port.
        if (colon >= 0 && text.indexOf(QLatin1Char(':')) == colon) {
            hasPort = true;
            portText = text.mid(colon + 1);
            h = text.left(colon);
        }
    }

    if (hasPort && !portText.isEmpty()) {
        bool digits = true;
        for (QChar c : portText)
            digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        bool ok = false;
        const uint value = digits ? portText.toUInt(&ok) : 0;
        if (ok && value >= 1 && value <= 65535) {
            p = quint16(value);
        } else {
            h = text;  // not a port: the text is left as the caller gave it
        }
    }

    if (host)
        *host = h;
    if (port)
        *port = p;
}

void Winsock::attach(QTcpSocket *s)
{
    connect(s, &QAbstractSocket::stateChanged, this, [this, s](QAbstractSocket::SocketState st) {
        if (st == QAbstractSocket::HostLookupState)
            m_state = sckResolvingHost;
        else if (st == QAbstractSocket::ConnectingState) {
            m_state = sckConnecting;
            if (m_receiveBuffer > 0)
                s->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, m_receiveBuffer);
        }
    });
    auto *ssl = qobject_cast<QSslSocket *>(s);
    if (ssl) {
        connect(ssl, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
            // Not ignored: Qt ends the handshake, and the error report says why,
            // unless the named authorities may still vouch for the server.
            if (!m_namedTrust && !tlsState().named.isEmpty()
                && std::any_of(errors.begin(), errors.end(), lacksAuthority)) {
                m_tryNamed = true;
                tlsState().namedPeers.insert(m_peer);
                return;
            }
            tlsState().namedPeers.remove(m_peer);  // the system's store first again next time
            m_certificateProblem = certificateProblem(errors, m_remoteHost);
        });
        const auto keepSession = [this, ssl]() {
            const QByteArray ticket = ssl->sslConfiguration().sessionTicket();
            if (!ticket.isEmpty())
                tlsState().sessions.insert(m_peer, ticket);
        };
        connect(ssl, &QSslSocket::newSessionTicketReceived, this, keepSession);
        connect(ssl, &QSslSocket::encrypted, this, [this, s, keepSession]() {
            keepSession();
            connectionUp(s);
        });
    }
    connect(s, &QAbstractSocket::connected, this, [this, s, ssl]() {
        // A TLS connection is up once its handshake is done.
        if (!ssl)
            connectionUp(s);
    });

    connect(s, &QIODevice::readyRead, this, [this, s]() {
        emit DataArrival(s->bytesAvailable());
    });
    connect(s, &QAbstractSocket::errorOccurred, this, [this, s]() { onError(s); });
    connect(s, &QAbstractSocket::disconnected, this, [this, s]() { onPeerClosed(s); });
}

void Winsock::connectionUp(QTcpSocket *s)
{
    m_state = sckConnected;
    // Bytes the caller gave before the connection come before anything its
    // Connected handler sends.
    if (!m_earlyWrite.isEmpty()) {
        s->write(m_earlyWrite);
        m_earlyWrite.clear();
    }
    emit Connected();
}

void Winsock::onError(QTcpSocket *s)
{
    if (s != m_socket || m_state == sckError)
        return;
    const QAbstractSocket::SocketError error = s->error();
    if (error == QAbstractSocket::RemoteHostClosedError) {
        // Qt's way of saying the peer closed (or reset) the connection: the
        // peer's close, not a failure. The unread bytes stay readable.
        onPeerClosed(s);
        return;
    }
    if (m_tryNamed) {
        // The same connection again, with the named authorities; what the
        // caller sent meanwhile waits for it.
        const QByteArray early = m_earlyWrite;
        Connect(m_connectHost, m_connectPort);
        m_earlyWrite = early;
        return;
    }
    const bool wasConnected = m_state == sckConnected || m_state == sckClosing;
    m_state = sckError;
    int proxyNumber = 0;
    const QString proxyWhy = wasConnected ? QString() : proxyFailure(error, &proxyNumber);
    m_proxyFailed = !proxyWhy.isEmpty();
    if (m_proxyFailed)
        emit Error(proxyNumber, proxyWhy);
    else if (!m_certificateProblem.isEmpty())
        emit Error(sckCertificateRefused, m_certificateProblem);
    else
        emit Error(errorNumber(error, wasConnected), s->errorString());
}

QString Winsock::proxyFailure(QAbstractSocket::SocketError error, int *number) const
{
    if (m_proxy.isDirect())
        return {};
    const QString proxy = m_proxy.name();
    const bool forward = forwardsToProxy();
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        if (!forward)
            return {};  // the tunnel's end refused: the server, not the proxy
        Q_FALLTHROUGH();
    case QAbstractSocket::ProxyConnectionRefusedError:
        *number = sckConnectionRefused;
        return QStringLiteral("The proxy %1 refused the connection").arg(proxy);
    case QAbstractSocket::HostNotFoundError:
        if (!forward)
            return {};
        Q_FALLTHROUGH();
    case QAbstractSocket::ProxyNotFoundError:
        *number = sckHostNotFound;
        return QStringLiteral("The proxy %1 was not found").arg(proxy);
    case QAbstractSocket::ProxyAuthenticationRequiredError:
        *number = sckProxyRefused;
        return m_proxy.authorization().isEmpty()
                   ? QStringLiteral("The proxy %1 asks for a user name and password (407)").arg(proxy)
                   : QStringLiteral("The proxy %1 refused the user name and password (407)").arg(proxy);
    case QAbstractSocket::SocketAccessError:
        // Qt's word for a tunnel the proxy refused (403, 405).
        if (forward)
            return {};
        *number = sckProxyRefused;
        return QStringLiteral("The proxy %1 refused the connection to %2").arg(proxy, m_peer);
    case QAbstractSocket::ProxyConnectionClosedError:
    case QAbstractSocket::ProxyConnectionTimeoutError:
    case QAbstractSocket::ProxyProtocolError:
        *number = error == QAbstractSocket::ProxyConnectionTimeoutError ? sckTimedout : sckConnectAborted;
        return QStringLiteral("The proxy %1 failed: %2").arg(proxy, m_socket ? m_socket->errorString() : QString());
    default:
        return {};
    }
}

QByteArray Winsock::requestTarget(const QString &host, const QByteArray &path) const
{
    if (!forwardsToProxy())
        return path;
    return "http://" + host.toUtf8() + (path.startsWith('/') ? path : '/' + path);
}

QList<QByteArray> Winsock::proxyLines() const
{
    const QByteArray login = forwardsToProxy() ? m_proxy.authorization() : QByteArray();
    return login.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{"Proxy-Authorization: " + login};
}

void Winsock::onPeerClosed(QTcpSocket *s)
{
    if (s != m_socket)
        return;
    if (m_state != sckConnected && m_state != sckConnecting && m_state != sckResolvingHost)
        return;
    m_state = sckClosing;
    emit Closed();
}

void Winsock::Connect(const QString &host, quint16 port)
{
    Close();
    QString name;
    quint16 target = port;
    splitHostPort(host, port, &name, &target);
    m_remoteHost = name;
    m_peer = name + QLatin1Char(':') + QString::number(target);
    m_connectHost = host;
    m_connectPort = port;
    m_certificateProblem.clear();
    m_proxyFailed = false;
    m_tryNamed = false;
    m_namedTrust = m_tls && tlsState().namedPeers.contains(m_peer);

    m_socket = createSocket(this, m_tls, m_peer, m_namedTrust);
    // A tunnel is Qt's to ask for; a forwarding proxy is simply the peer.
    if (m_tls && !m_proxy.isDirect())
        m_socket->setProxy(m_proxy.proxy());
    attach(m_socket);
    m_state = QHostAddress(name).isNull() ? sckResolvingHost : sckConnecting;

    // The attempt starts from the event loop: Qt may connect or fail at once
    // inside connectToHost (loopback, literal addresses), and the caller's
    // handlers must not run inside its own call to Connect.
    const quint64 generation = m_generation;
    QTcpSocket *s = m_socket;
    QMetaObject::invokeMethod(this, [this, generation, s, name, target]() {
        if (generation != m_generation || s != m_socket)
            return;
        if (!m_proxy.error().isEmpty()) {
            m_state = sckError;
            m_proxyFailed = true;
            emit Error(sckProxyRefused, m_proxy.error());
            return;
        }
        if (isReservedInvalid(name)) {
            // The outcome of a failed lookup, from the event loop as a lookup's would be.
            m_state = sckError;
            emit Error(sckHostNotFound, QAbstractSocket::tr("Host not found"));
            return;
        }
        auto *ssl = qobject_cast<QSslSocket *>(s);
        if (ssl) {
            if (!tlsState().authorityError.isEmpty()) {
                m_state = sckError;
                emit Error(sckCertificateRefused, tlsState().authorityError);
                return;
            }
            // The name is the one sent for SNI and the one the certificate must name.
            ssl->connectToHostEncrypted(name, target);
        } else if (forwardsToProxy()) {
            s->connectToHost(m_proxy.proxy().hostName(), m_proxy.proxy().port());
        } else {
            s->connectToHost(name, target);
        }
        if (s == m_socket && !m_earlyWrite.isEmpty() && !ssl
            && (s->state() == QAbstractSocket::HostLookupState
                || s->state() == QAbstractSocket::ConnectingState)) {
            s->write(m_earlyWrite);  // Qt holds it until the connection is up
            m_earlyWrite.clear();
        }
    }, Qt::QueuedConnection);
}

void Winsock::SendData(const QByteArray &data)
{
    if (!m_socket || data.isEmpty())
        return;
    if (m_state == sckConnected) {
        m_socket->write(data);
    } else if (m_state == sckResolvingHost || m_state == sckConnecting) {
        // Qt keeps bytes written while connecting and sends them once connected;
        // before the attempt has started they wait here, and so they do until a
        // TLS handshake is done (it may have to be made again).
        if (m_socket->state() == QAbstractSocket::UnconnectedState || qobject_cast<QSslSocket *>(m_socket))
            m_earlyWrite += data;
        else
            m_socket->write(data);
    }
}

QByteArray Winsock::GetData()
{
    return m_socket ? m_socket->readAll() : QByteArray();
}

qint64 Winsock::GetData(char *buffer, qint64 maxSize)
{
    if (!m_socket)
        return 0;
    // What Qt has read already comes first.
    qint64 n = qMax<qint64>(0, m_socket->read(buffer, maxSize));
    // A plain connection's bytes come from the system straight into the
    // caller's buffer: through Qt's own buffer they would be copied once
    // more, which is most of the processor's work per byte of a download.
    // Qt keeps reading a little itself (it learns of new data, and of the
    // peer's close, that way); TLS bytes are decrypted into Qt's buffer.
    if (qobject_cast<QSslSocket *>(m_socket) || m_state != sckConnected || n >= maxSize)
        return n;
    if (m_socket->readBufferSize() != DirectReadBuffer)
        m_socket->setReadBufferSize(DirectReadBuffer);
    const qintptr fd = m_socket->socketDescriptor();
    if (fd >= 0) {
        const ssize_t r = ::recv(int(fd), buffer + n, size_t(maxSize - n), MSG_DONTWAIT);
        if (r > 0)
            n += r;
    }
    return n;
}

qint64 Winsock::BytesReceived() const
{
    return m_socket ? m_socket->bytesAvailable() : 0;
}

void Winsock::Listen()
{
    const quint16 port = m_localPort;
    const QString listenText = m_listenAddress;
    Close();
    m_localPort = port;

    const QHostAddress address(listenText.isEmpty() ? QStringLiteral("127.0.0.1") : listenText);
    if (address.isNull()) {
        failLater(sckOther, QStringLiteral("Invalid listen address: %1").arg(listenText));
        return;
    }

    m_server = new Server(this);
    connect(m_server, &QTcpServer::newConnection, this, &Winsock::onNewConnection);
    connect(m_server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        if (!m_server || m_state != sckListening)
            return;
        m_state = sckError;
        emit Error(errorNumber(error, false), m_server->errorString());
    });
    if (!m_server->listen(address, port)) {
        const int number = errorNumber(m_server->serverError(), false);
        const QString description = m_server->errorString();
        m_server->deleteLater();
        m_server = nullptr;
        failLater(number, description);
        return;
    }
    m_state = sckListening;
}

void Winsock::onNewConnection()
{
    const QPointer<Server> server = m_server;
    while (server && server == m_server && server->hasPendingConnections()) {
        QTcpSocket *s = server->nextPendingConnection();
        if (!s)
            break;
        // The request belongs to this listener until accepted: it survives the
        // listener's Close (the usual answer closes the listener, then accepts
        // on the same object) and goes away with this object.
        s->setParent(this);
        const int id = nextRequestId();
        pendingRequests().insert(id, PendingRequest{s, this});
        // No context object: the entry must go even when this listener's own
        // destruction takes the connection with it.
        connect(s, &QObject::destroyed, [id]() { pendingRequests().remove(id); });
        // A caller that never accepts must not collect dead connections; one
        // that left bytes behind is kept for a late Accept.
        connect(s, &QAbstractSocket::disconnected, this, [s]() {
            if (s->bytesAvailable() == 0)
                s->deleteLater();
        });
        emit ConnectionRequest(id);
    }
}

void Winsock::Accept(int requestId)
{
    Close();
    const PendingRequest request = pendingRequests().take(requestId);
    QTcpSocket *s = request.socket;
    if (!s) {
        failLater(sckOther, QStringLiteral("No pending connection with identifier %1").arg(requestId));
        return;
    }
    if (request.listener)
        disconnect(s, nullptr, request.listener, nullptr);
    s->setParent(this);
    m_socket = s;
    m_remoteHost = addressText(s->peerAddress());
    attach(s);

    const bool peerGone = s->state() != QAbstractSocket::ConnectedState;
    m_state = peerGone ? sckClosing : sckConnected;
    if (s->bytesAvailable() > 0 || peerGone) {
        // What arrived before the accept is announced from the event loop, as
        // it would have been had the connection been accepted at once.
        const quint64 generation = m_generation;
        QMetaObject::invokeMethod(this, [this, generation, s, peerGone]() {
            if (generation != m_generation || s != m_socket)
                return;
            if (s->bytesAvailable() > 0)
                emit DataArrival(s->bytesAvailable());
            if (peerGone && generation == m_generation)
                emit Closed();
        }, Qt::QueuedConnection);
    }
}

QString Winsock::RequestHostIP(int requestId)
{
    const QTcpSocket *s = pendingRequests().value(requestId).socket;
    return s ? addressText(s->peerAddress()) : QString();
}

void Winsock::Refuse(int requestId)
{
    if (QTcpSocket *s = pendingRequests().take(requestId).socket) {
        s->abort();
        s->deleteLater();
    }
}

void Winsock::failLater(int number, const QString &description)
{
    m_state = sckError;
    m_listenError = description;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(this, [this, generation, number, description]() {
        if (generation == m_generation && m_state == sckError)
            emit Error(number, description);
    }, Qt::QueuedConnection);
}

void Winsock::Close()
{
    ++m_generation;
    if (m_socket) {
        // The close may come from a handler of this very socket: cut it off from
        // this object first, then let Qt delete it once the handler is done.
        QTcpSocket *s = m_socket;
        m_socket = nullptr;
        disconnect(s, nullptr, this, nullptr);
        s->abort();
        s->setParent(nullptr);
        s->deleteLater();
    }
    if (m_server) {
        Server *server = m_server;
        m_server = nullptr;
        disconnect(server, nullptr, this, nullptr);
        server->close();
        server->setParent(nullptr);
        server->deleteLater();
    }
    m_earlyWrite.clear();
    m_state = sckClosed;
}

void Winsock::adopt(Winsock &from)
{
    Close();
    QTcpSocket *s = std::exchange(from.m_socket, nullptr);
    const int state = std::exchange(from.m_state, sckClosed);
    ++from.m_generation;
    if (!s)
        return;
    disconnect(s, nullptr, &from, nullptr);
    s->setParent(this);
    m_socket = s;
    m_state = state;
    m_tls = from.m_tls;
    m_proxy = from.m_proxy;
    m_peer = from.m_peer;
    m_remoteHost = from.m_remoteHost;
    m_connectHost = from.m_connectHost;
    m_connectPort = from.m_connectPort;
    m_namedTrust = from.m_namedTrust;
    m_earlyWrite = std::exchange(from.m_earlyWrite, {});
    attach(s);
}

int Winsock::State() const
{
    return m_state;
}

quint16 Winsock::LocalPort() const
{
    if (m_server && m_server->isListening())
        return m_server->serverPort();
    if (m_socket && m_socket->localPort() != 0)
        return m_socket->localPort();
    return m_localPort;
}

void Winsock::setLocalPort(quint16 port)
{
    m_localPort = port;
}

QString Winsock::LocalIP() const
{
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        return addressText(m_socket->localAddress());
    if (m_server && m_server->isListening()) {
        const QHostAddress a = m_server->serverAddress();
        if (a.protocol() == QAbstractSocket::IPv4Protocol && a != QHostAddress(QHostAddress::AnyIPv4))
            return a.toString();
    }
    return firstMachineAddress();
}

QString Winsock::RemoteHost() const
{
    return m_remoteHost;
}

QString Winsock::RemoteHostIP() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState ? addressText(m_socket->peerAddress())
                                                                            : QString();
}

void Winsock::setListenAddress(const QString &address)
{
    m_listenAddress = address;
}

QTcpSocket *Winsock::socket() const
{
    return m_socket;
}

void Ferme_Connect(Winsock &socket)
{
    while (socket.State() != Winsock::sckClosed) {
        socket.Close();
        socket.setLocalPort(0);
    }
}
