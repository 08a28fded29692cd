#include "core/winsock.h"

#include <algorithm>
#include <utility>
#include <climits>

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

// What TLS connections trust and remember, shared by every socket of the
// process. It lives as long as the process: freed at exit it could outlive
// OpenSSL's own clean-up.
struct TlsState
{
    // The client context, made on first use and again after the trusted
    // authorities changed (a connection keeps the one it was made with).
    SSL_CTX *context = nullptr;
    std::vector<X509 *> named;                 // the authorities of the named file
    QString authorityError;                    // why the named file cannot be used
    QHash<QString, SSL_SESSION *> sessions;    // "host:port" -> the server's last session
};

TlsState &tlsState()
{
    static TlsState *state = new TlsState;
    return *state;
}

void forgetSessions()
{
    TlsState &tls = tlsState();
    for (SSL_SESSION *session : std::as_const(tls.sessions))
        SSL_SESSION_free(session);
    tls.sessions.clear();
}

// The texts of OpenSSL's own error queue, emptied.
QString opensslErrors()
{
    QStringList texts;
    char text[256];
    while (const unsigned long e = ERR_get_error()) {
        ERR_error_string_n(e, text, sizeof text);
        texts.append(QString::fromLatin1(text));
    }
    return texts.join(QStringLiteral("; "));
}

// What is wrong with a server's certificate, for the user, from the problems
// OpenSSL found in its chain (X509_V_ERR_* codes).
QString certificateProblem(const QList<int> &codes, const QString &host)
{
    QStringList problems;
    const auto add = [&problems](const QString &text) {
        if (!problems.contains(text))
            problems.append(text);
    };
    for (const int code : codes) {
        switch (code) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            add(QStringLiteral("has expired"));
            break;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            add(QStringLiteral("is not valid yet"));
            break;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            add(QStringLiteral("is self-signed"));
            break;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            add(QStringLiteral("was made for another host name"));
            break;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
            add(QStringLiteral("comes from an unknown authority"));
            break;
        default:
            add(QStringLiteral("was refused (%1)").arg(QString::fromLatin1(X509_verify_cert_error_string(code))));
        }
    }
    if (problems.isEmpty())
        problems.append(QStringLiteral("was refused"));
    return QStringLiteral("The certificate of %1 %2").arg(host, problems.join(QStringLiteral(" and ")));
}

} // namespace

// What a TLS connection holds besides its TCP socket. The socket BIO below
// reads and writes through it, so it moves with the connection (adopt).
struct Winsock::TlsLink
{
    enum class Phase { Handshake, Up, Failed };
    SSL *ssl = nullptr;
    QTcpSocket *socket = nullptr;
    QString peer;           // "host:port": the key of its session
    Phase phase = Phase::Handshake;
    // Reads the system's socket itself once Qt's small buffer is empty (a
    // direct connection; a proxy's tunnel may hold bytes of its own in Qt).
    bool direct = false;
    bool eof = false;       // the peer closed (or cut) the TCP stream
    QList<int> problems;    // what the certificate check found

    ~TlsLink()
    {
        if (ssl) {
            // Ended by us, not by a failure: the session stays good to resume.
            // (OpenSSL takes a connection freed without its close-notify for a
            // broken one and would spoil the session remembered from it.)
            if (phase == Phase::Up)
                SSL_set_shutdown(ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
            SSL_free(ssl);
        }
    }
};

namespace {

using TlsLink = Winsock::TlsLink;

// OpenSSL's I/O for a connection: its own socket BIO cannot be used, since Qt
// reads the same descriptor for its notifications (and a proxy's tunnel is
// Qt's alone). Bytes Qt has read already come first, then straight from the
// system into OpenSSL's buffer, as a plain connection reads into the caller's.
int linkRead(BIO *bio, char *buffer, int size)
{
    auto *link = static_cast<TlsLink *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (!link || size <= 0)
        return 0;
    QTcpSocket *s = link->socket;
    qint64 n = qMax<qint64>(0, s->read(buffer, size));
    const bool open = s->state() == QAbstractSocket::ConnectedState;
    if (n < size && link->direct && open && s->socketDescriptor() >= 0) {
        const ssize_t r = ::recv(int(s->socketDescriptor()), buffer + n, size_t(size - n), MSG_DONTWAIT);
        if (r > 0)
            n += r;
        else if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            link->eof = true;   // Qt finds the end too, on its next read, and tells it
    } else if (n == 0 && !open) {
        link->eof = true;
    }
    if (n > 0)
        return int(n);
    if (!link->eof)
        BIO_set_retry_read(bio);
    return link->eof ? 0 : -1;
}

int linkWrite(BIO *bio, const char *data, int size)
{
    auto *link = static_cast<TlsLink *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (!link || size <= 0)
        return 0;
    // Qt keeps what the system does not take at once.
    return int(link->socket->write(data, size));
}

long linkCtrl(BIO *bio, int command, long, void *)
{
    auto *link = static_cast<TlsLink *>(BIO_get_data(bio));
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return link && link->eof ? 1 : 0;
    default:
        return 0;
    }
}

BIO_METHOD *linkMethod()
{
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zk-qt-socket");
        BIO_meth_set_read(m, linkRead);
        BIO_meth_set_write(m, linkWrite);
        BIO_meth_set_ctrl(m, linkCtrl);
        BIO_meth_set_create(m, [](BIO *bio) {
            BIO_set_init(bio, 1);
            return 1;
        });
        return m;
    }();
    return method;
}

// Every problem of the server's chain is noted and the handshake goes on, so
// that the user hears all of them at once; the connection is refused once the
// handshake is done, before a byte of the caller's goes out.
int noteProblem(int ok, X509_STORE_CTX *store)
{
    if (!ok) {
        auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        if (auto *link = ssl ? static_cast<TlsLink *>(SSL_get_app_data(ssl)) : nullptr)
            link->problems.append(X509_STORE_CTX_get_error(store));
    }
    return 1;
}

// A session the server gave (with TLS 1.3 after the handshake, in the stream):
// the next connection to the same host and port resumes it.
int keepSession(SSL *ssl, SSL_SESSION *session)
{
    auto *link = static_cast<TlsLink *>(SSL_get_app_data(ssl));
    // Never one from a server whose certificate was refused: resuming skips the check.
    if (!link || link->phase == TlsLink::Phase::Failed || !link->problems.isEmpty()
        || !SSL_SESSION_is_resumable(session))
        return 0;
    TlsState &tls = tlsState();
    if (SSL_SESSION *old = tls.sessions.value(link->peer))
        SSL_SESSION_free(old);
    tls.sessions.insert(link->peer, session);
    return 1;   // the reference is ours
}

SSL_CTX *tlsContext()
{
    TlsState &tls = tlsState();
    if (tls.context)
        return tls.context;
    SSL_CTX *c = SSL_CTX_new(TLS_client_method());
    if (!c)
        return nullptr;
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    // The system's authorities, from its hashed folder, each looked up when a
    // chain needs it: the bundle file of the same authorities (OpenSSL's
    // default, or SSL_CERT_FILE) is parsed whole when loaded, which costs
    // several handshakes' worth of processor time on every start. SSL_CERT_DIR
    // names another folder, as for every OpenSSL program.
    X509_STORE *store = SSL_CTX_get_cert_store(c);
    const char *dir = std::getenv(X509_get_default_cert_dir_env());
    X509_STORE_load_path(store, dir && *dir ? dir : X509_get_default_cert_dir());
    for (X509 *authority : tls.named)
        X509_STORE_add_cert(store, authority);
    ERR_clear_error();   // a folder or file that is missing is no error here
    SSL_CTX_set_verify(c, SSL_VERIFY_PEER, noteProblem);
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(c, keepSession);
    // No read-ahead: OpenSSL then reads each record's header and body with a
    // call each, straight into place. Reading ahead saves those calls but
    // moves what it read ahead to the front of its buffer before each record,
    // which with a large buffer copies the stream several times over and with
    // the default one costs as much as it saves.
    tls.context = c;
    return c;
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
    for (X509 *authority : tls.named)
        X509_free(authority);
    tls.named.clear();
    tls.authorityError.clear();
    // The next connections trust what is named now.
    SSL_CTX_free(std::exchange(tls.context, nullptr));
    // A session resumed skips the certificate check: none outlives the trust it was checked with.
    forgetSessions();
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
    else {
        const QByteArray pem = file.read(MostBytes);
        BIO *in = BIO_new_mem_buf(pem.constData(), int(pem.size()));
        // Every certificate of the file, other PEM blocks (a key) skipped.
        while (X509 *authority = PEM_read_bio_X509(in, nullptr, nullptr, nullptr))
            tls.named.push_back(authority);
        BIO_free(in);
        ERR_clear_error();   // the end of the file reads as an error
        if (tls.named.empty())
            tls.authorityError = QStringLiteral("it holds no PEM certificate");
    }
    if (!tls.authorityError.isEmpty())
        tls.authorityError = QStringLiteral("The certificate authority file %1 cannot be used: %2").arg(path, tls.authorityError);
    if (error)
        *error = tls.authorityError;
    return tls.authorityError.isEmpty();
}

QTcpSocket *Winsock::createSocket(QObject *parent)
{
    auto *s = new QTcpSocket(parent);
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
    connect(s, &QAbstractSocket::connected, this, [this, s]() {
        emit Reached();
        // A TLS connection is up once its handshake is done.
        if (m_tls)
            startTls(s);
        else
            connectionUp(s);
    });

    connect(s, &QIODevice::readyRead, this, [this, s]() {
        if (m_tlsLink && m_tlsLink->phase != TlsLink::Phase::Up) {
            if (m_tlsLink->phase == TlsLink::Phase::Handshake)
                driveHandshake();
            return;
        }
        emit DataArrival(BytesReceived());
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
        if (m_tlsLink)
            writeOut(std::exchange(m_earlyWrite, {}));
        else
            s->write(std::exchange(m_earlyWrite, {}));
    }
    emit Connected();
}

void Winsock::startTls(QTcpSocket *s)
{
    SSL_CTX *context = tlsContext();
    SSL *ssl = context ? SSL_new(context) : nullptr;
    BIO *bio = ssl ? BIO_new(linkMethod()) : nullptr;
    if (!bio) {
        SSL_free(ssl);
        m_state = sckError;
        s->abort();
        emit Error(sckOther, QStringLiteral("TLS cannot be used: %1").arg(opensslErrors()));
        return;
    }
    m_tlsLink = std::make_unique<TlsLink>();
    TlsLink &link = *m_tlsLink;
    link.ssl = ssl;
    link.socket = s;
    link.peer = m_peer;
    link.direct = m_proxy.isDirect();
    if (link.direct)
        s->setReadBufferSize(DirectReadBuffer);
    BIO_set_data(bio, &link);
    SSL_set_bio(ssl, bio, bio);
    SSL_set_app_data(ssl, &link);
    // The name the certificate must be made for; a name (not an address) also
    // goes out for SNI, so that a server with several names shows this one's.
    X509_VERIFY_PARAM *check = SSL_get0_param(ssl);
    if (!QHostAddress(m_remoteHost).isNull()) {
        X509_VERIFY_PARAM_set1_ip_asc(check, m_remoteHost.toLatin1().constData());
    } else {
        // A name that has no ASCII form is checked as it is (and matches no certificate).
        QByteArray name = QUrl::toAce(m_remoteHost);
        if (name.isEmpty())
            name = m_remoteHost.toUtf8();
        X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(check, name.constData(), size_t(name.size()));
        SSL_set_tlsext_host_name(ssl, name.constData());
    }
    if (SSL_SESSION *session = tlsState().sessions.value(m_peer))
        SSL_set_session(ssl, session);
    SSL_set_connect_state(ssl);
    driveHandshake();
}

void Winsock::driveHandshake()
{
    TlsLink &link = *m_tlsLink;
    ERR_clear_error();
    const int r = SSL_do_handshake(link.ssl);
    if (r == 1) {
        const bool trusted = link.problems.isEmpty() && SSL_get_verify_result(link.ssl) == X509_V_OK
                             && SSL_get0_peer_certificate(link.ssl);
        if (!trusted) {
            link.phase = TlsLink::Phase::Failed;
            m_state = sckError;
            QList<int> problems = link.problems;
            if (problems.isEmpty() && SSL_get_verify_result(link.ssl) != X509_V_OK)
                problems.append(int(SSL_get_verify_result(link.ssl)));
            m_socket->abort();
            emit Error(sckCertificateRefused, certificateProblem(problems, m_remoteHost));
            return;
        }
        link.phase = TlsLink::Phase::Up;
        // Bytes that came with the end of the handshake wait in OpenSSL or
        // in Qt's buffer, where no arrival on the socket would tell of them.
        if (SSL_has_pending(link.ssl) || m_socket->bytesAvailable() > 0)
            notifyLater();
        connectionUp(m_socket);
        return;
    }
    const int e = SSL_get_error(link.ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
        return;
    link.phase = TlsLink::Phase::Failed;
    // The peer closed during the handshake: Qt tells Closed, as for any close.
    if (link.eof) {
        ERR_clear_error();
        return;
    }
    m_state = sckError;
    const QString why = opensslErrors();
    m_socket->abort();
    emit Error(sckOther, QStringLiteral("The TLS handshake with %1 failed%2")
                             .arg(m_remoteHost, why.isEmpty() ? QString() : QStringLiteral(": ") + why));
}

qint64 Winsock::readTls(char *buffer, qint64 maxSize)
{
    TlsLink &link = *m_tlsLink;
    if (link.phase != TlsLink::Phase::Up)
        return 0;
    qint64 n = 0;
    ERR_clear_error();
    while (n < maxSize) {
        size_t got = 0;
        // One record at most per call: the caller's buffer holds many.
        if (SSL_read_ex(link.ssl, buffer + n, size_t(std::min<qint64>(maxSize - n, INT_MAX)), &got) == 1) {
            n += qint64(got);
            continue;
        }
        const int e = SSL_get_error(link.ssl, 0);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_ZERO_RETURN)
            break;
        // The end of the stream, told by Qt as Closed once it reads it too;
        // anything else (a record that fails its check, the peer's alert) is
        // a broken connection.
        link.phase = TlsLink::Phase::Failed;
        const QString why = opensslErrors();
        if (!link.eof)
            tlsFailLater(sckConnectAborted, QStringLiteral("The TLS connection with %1 failed: %2").arg(m_remoteHost, why));
        break;
    }
    return n;
}

void Winsock::writeOut(const QByteArray &data)
{
    if (!m_tlsLink) {
        m_socket->write(data);
        return;
    }
    if (m_tlsLink->phase != TlsLink::Phase::Up)
        return;
    size_t written = 0;
    ERR_clear_error();
    // The BIO takes every byte (Qt holds what the system does not), so one
    // call writes it all.
    if (SSL_write_ex(m_tlsLink->ssl, data.constData(), size_t(data.size()), &written) != 1) {
        m_tlsLink->phase = TlsLink::Phase::Failed;
        tlsFailLater(sckConnectAborted, QStringLiteral("The TLS connection with %1 failed: %2").arg(m_remoteHost, opensslErrors()));
    }
}

void Winsock::notifyLater()
{
    if (m_notifyQueued)
        return;
    m_notifyQueued = true;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(this, [this, generation]() {
        m_notifyQueued = false;
        if (generation == m_generation && m_tlsLink && m_tlsLink->phase == TlsLink::Phase::Up)
            emit DataArrival(BytesReceived());
    }, Qt::QueuedConnection);
}

void Winsock::tlsFailLater(int number, const QString &description)
{
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(this, [this, generation, number, description]() {
        if (generation != m_generation || m_state == sckError || m_state == sckClosed)
            return;
        m_state = sckError;
        if (m_socket)
            m_socket->abort();
        emit Error(number, description);
    }, Qt::QueuedConnection);
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
    const bool wasConnected = m_state == sckConnected || m_state == sckClosing;
    m_state = sckError;
    int proxyNumber = 0;
    const QString proxyWhy = wasConnected ? QString() : proxyFailure(error, &proxyNumber);
    m_proxyFailed = !proxyWhy.isEmpty();
    if (m_proxyFailed)
        emit Error(proxyNumber, proxyWhy);
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
    m_proxyFailed = false;

    m_socket = createSocket(this);
    // A tunnel (CONNECT) is Qt's to ask for; a forwarding proxy is simply the peer.
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
        if (m_tls && !tlsState().authorityError.isEmpty()) {
            m_state = sckError;
            emit Error(sckCertificateRefused, tlsState().authorityError);
            return;
        }
        if (forwardsToProxy())
            s->connectToHost(m_proxy.proxy().hostName(), m_proxy.proxy().port());
        else
            s->connectToHost(name, target);
        if (s == m_socket && !m_earlyWrite.isEmpty() && !m_tls
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
        writeOut(data);
    } else if (m_state == sckResolvingHost || m_state == sckConnecting) {
        // Qt keeps bytes written while connecting and sends them once connected;
        // before the attempt has started they wait here, and so they do until a
        // TLS handshake is done.
        if (m_socket->state() == QAbstractSocket::UnconnectedState || m_tls)
            m_earlyWrite += data;
        else
            m_socket->write(data);
    }
}

QByteArray Winsock::GetData()
{
    if (!m_tlsLink)
        return m_socket ? m_socket->readAll() : QByteArray();
    // While the connection is open, a bounded step, as a plain socket's
    // bytes are what Qt's buffer holds: a fast server would otherwise keep
    // this loop decrypting for as long as it sends. Once the peer has closed,
    // everything that is left.
    static constexpr qsizetype Step = 64 * 1024;
    QByteArray all;
    qint64 n = 0;
    do {
        const qsizetype at = all.size();
        all.resize(at + Step);
        n = GetData(all.data() + at, Step);
        all.resize(at + n);
    } while (n == Step && m_tlsLink && m_state == sckClosing);
    return all;
}

qint64 Winsock::GetData(char *buffer, qint64 maxSize)
{
    if (!m_socket)
        return 0;
    if (m_tlsLink) {
        // Decrypted straight into the caller's buffer, from the system's
        // socket through OpenSSL's buffer only. Records left in that buffer
        // when the caller's is full are announced again: no arrival on the
        // socket would tell of them (nor of a tunnel's bytes already in Qt's buffer).
        const qint64 n = readTls(buffer, maxSize);
        if (n == maxSize && (SSL_has_pending(m_tlsLink->ssl) || m_socket->bytesAvailable() > 0))
            notifyLater();
        return n;
    }
    // What Qt has read already comes first.
    qint64 n = qMax<qint64>(0, m_socket->read(buffer, maxSize));
    // A plain connection's bytes come from the system straight into the
    // caller's buffer: through Qt's own buffer they would be copied once
    // more, which is most of the processor's work per byte of a download.
    // Qt keeps reading a little itself (it learns of new data, and of the
    // peer's close, that way).
    if (m_state != sckConnected || n >= maxSize)
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
    if (!m_socket)
        return 0;
    // For TLS: the bytes not decrypted yet and the ones decrypted and unread.
    return m_socket->bytesAvailable() + (m_tlsLink ? SSL_pending(m_tlsLink->ssl) : 0);
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
    m_tlsLink.reset();
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
    m_notifyQueued = false;
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
    m_tlsLink = std::move(from.m_tlsLink);
    m_earlyWrite = std::exchange(from.m_earlyWrite, {});
    attach(s);
}

int Winsock::State() const
{
    return m_state;
}

qint64 Winsock::roundTripMicros() const
{
    // The system's own smoothed estimate, kept from the handshake on: a slot
    // that takes over a connection someone else opened knows it at once.
    if (!m_socket || m_socket->socketDescriptor() < 0)
        return 0;
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(int(m_socket->socketDescriptor()), IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return 0;
    return info.tcpi_rtt;
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
