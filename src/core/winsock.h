#pragma once
#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

#include "core/proxy_choice.h"

class QTcpSocket;
class QTcpServer;

// The socket control every network part of the program goes through: one object
// per socket, operations that return at once, outcomes delivered later as signals
// on the event-loop thread. Data is bytes, one character per byte, never re-encoded.
//
// State numbers: 0 closed, 1 open, 2 listening, 3 connection pending, 4 resolving
// host, 6 connecting, 7 connected, 8 peer is closing, 9 error. Callers rely only
// on "0 means closed".
//
// Error numbers: 11001 host not found, 10061 connection refused, 10053 connection
// aborted or reset, 10060 timed out, 10048 address in use, 10013 permission denied;
// anything else is reported as 10004-style "other" with Qt's description.
//
// A host text ending in ":digits" ("h:8080") connects to that port; otherwise the
// port the caller names is used.
//
// TLS (setTls): the connection is encrypted before Connected is told, the host
// name goes out for SNI and the server's certificate is checked against it (a
// name, or an address) and against the system's authorities plus the ones named
// by setAuthorityFile. There is no way to skip the check: a certificate problem
// ends the connection with error 12045 and a description that names the problem
// and the host ("The certificate of h has expired", "... is self-signed", "...
// was made for another host name", "... comes from an unknown authority",
// several joined by "and"). Sessions are remembered per host and port, so a
// reopened connection resumes its TLS session where the server allows it.
// TLS is OpenSSL's, on the TCP socket Qt connects (and tunnels through a proxy).
//
// Proxy (setProxy): a plain connection through an HTTP proxy goes to the proxy,
// which forwards each request; requestTarget() and proxyLines() make a request
// fit for it. A TLS one asks the proxy for a tunnel (CONNECT, with the proxy's
// login), and the certificate is checked against the server's name as without
// a proxy. A failure of the proxy itself is told with a description that names
// it ("The proxy 127.0.0.1:3128 refused the connection"): error 10061 or 11001
// when it cannot be reached, 12046 when it refuses to carry the connection.
class Winsock : public QObject
{
    Q_OBJECT
public:
    enum StateValue {
        sckClosed = 0, sckOpen = 1, sckListening = 2, sckConnectionPending = 3,
        sckResolvingHost = 4, sckHostResolved = 5, sckConnecting = 6,
        sckConnected = 7, sckClosing = 8, sckError = 9
    };
    enum ErrorNumber {
        sckHostNotFound = 11001, sckConnectionRefused = 10061,
        sckConnectAborted = 10053, sckTimedout = 10060,
        sckAddressInUse = 10048, sckPermissionDenied = 10013, sckOther = 10004,
        sckCertificateRefused = 12045, sckProxyRefused = 12046
    };

    explicit Winsock(QObject *parent = nullptr);
    ~Winsock() override;

    void Connect(const QString &host, quint16 port);
    // Caps the system's receive buffer of the next connections (0: the system
    // sizes it). A peer can then push no more than that ahead of the reader.
    void setReceiveBufferSize(int bytes) { m_receiveBuffer = bytes; }
    // Whether the next connections are TLS ones (an https server).
    void setTls(bool on) { m_tls = on; }
    bool isTls() const { return m_tls; }
    // The proxy of the next connections (ProxyChoice::forServer); none by default.
    void setProxy(const ProxyChoice &proxy) { m_proxy = proxy; }
    const ProxyChoice &proxy() const { return m_proxy; }
    // What an HTTP request line names: the path, or for a proxy that forwards
    // plain requests the whole address ("http://host:port/path").
    QByteArray requestTarget(const QString &host, const QByteArray &path) const;
    // The header lines such a forwarded request adds (the proxy's login).
    QList<QByteArray> proxyLines() const;
    // The last Error came from the proxy, and its description names it.
    bool proxyFailed() const { return m_proxyFailed; }
    void SendData(const QByteArray &data);
    // Every byte received and not yet read; over TLS while the connection is
    // open, at most 64 KiB of them, and DataArrival tells again of the rest.
    QByteArray GetData();
    // The same into the caller's buffer, at most maxSize bytes; returns how many
    // were read. A slot reads its stream this way without a new array per chunk,
    // and on a direct connection straight from the system (over TLS, decrypted
    // from OpenSSL's buffer): Qt's own buffer then holds no more than
    // DirectReadBuffer bytes of it.
    qint64 GetData(char *buffer, qint64 maxSize);
    static constexpr qint64 DirectReadBuffer = 4096;
    qint64 BytesReceived() const;
    // Listens on LocalPort (0 = a free port chosen by the system, read back
    // through LocalPort afterwards) on the loopback interface unless
    // setListenAddress() named another.
    void Listen();
    // Takes the pending connection announced by ConnectionRequest(requestId) of
    // any listening Winsock; this object must be closed and becomes that connection.
    void Accept(int requestId);
    // The address (dotted text) a pending connection comes from, before it is
    // accepted; empty when no such request is pending.
    static QString RequestHostIP(int requestId);
    // Closes a pending connection without accepting it.
    static void Refuse(int requestId);
    void Close();
    // Takes over from's open connection (a TLS one with its handshake done)
    // with everything it was opened with, as if this object had opened it;
    // from is closed afterwards without touching the connection. What this
    // object held before is closed.
    void adopt(Winsock &from);

    int State() const;
    // The connection's round trip as the system measures it, in microseconds;
    // 0 when there is no connection or the system does not say.
    qint64 roundTripMicros() const;
    quint16 LocalPort() const;
    void setLocalPort(quint16 port);
    QString LocalIP() const;
    QString RemoteHost() const;
    // The address (dotted text) of the connected peer; empty when not connected.
    QString RemoteHostIP() const;
    void setListenAddress(const QString &address);
    // The description of the last failure of Listen or Accept, which is
    // reported through Error only once control is back in the event loop.
    QString ListenErrorText() const { return m_listenError; }

    // Splits "h:8080" into host "h" and port 8080; otherwise keeps the text and
    // defaultPort. An IPv6 literal in brackets ("[::1]:8080") is understood too;
    // an empty port ("h:", "[::1]:") means defaultPort. A port that is not a
    // number from 1 to 65535 ("h:abc", "h:0") leaves the text whole.
    static void splitHostPort(const QString &text, quint16 defaultPort, QString *host, quint16 *port);

    // Authorities trusted for TLS besides the system's: the PEM certificates
    // of file, for every connection made from now on; an empty path names
    // none. False, with the reason, when the file cannot be read or holds no
    // certificate: TLS connections are then refused with that reason until
    // another file is named, so that a mistyped file never passes unnoticed.
    static bool setAuthorityFile(const QString &path, QString *error = nullptr);

    // The underlying socket, for code that needs Qt's own API (never null while
    // connecting or connected).
    QTcpSocket *socket() const;

    // A TLS connection's OpenSSL state; known only to winsock.cpp, whose
    // OpenSSL callbacks use it.
    struct TlsLink;

signals:
    // The server is reached: the TCP connection (or the proxy's tunnel) is
    // up. Without TLS, Connected follows at once; with TLS, once the
    // handshake that starts now is done.
    void Reached();
    void Connected();
    void DataArrival(qint64 bytesTotal);
    void ConnectionRequest(int requestId);
    void Closed();
    void Error(int number, const QString &description);

private:
    class Server;

    // The one place where sockets are made, for outgoing connections and for the
    // connections a listener takes in alike.
    static QTcpSocket *createSocket(QObject *parent);

    void attach(QTcpSocket *s);
    // The connection is up (for TLS: encrypted): early bytes go, Connected is told.
    void connectionUp(QTcpSocket *s);
    // TLS: the TCP connection (or the proxy's tunnel) is up, the handshake starts;
    // every arrival drives it on until it is done or failed.
    void startTls(QTcpSocket *s);
    void driveHandshake();
    // Decrypts into buffer what has arrived, at most maxSize bytes.
    qint64 readTls(char *buffer, qint64 maxSize);
    void writeOut(const QByteArray &data);
    // DataArrival again from the event loop: bytes are decrypted and waiting
    // that no arrival on the socket would announce.
    void notifyLater();
    // Error from the event loop, for a failure found inside a caller's call.
    void tlsFailLater(int number, const QString &description);
    void onError(QTcpSocket *s);
    void onPeerClosed(QTcpSocket *s);
    void onNewConnection();
    // Reports a failure of Listen or Accept once control is back in the event
    // loop, so that no handler runs inside the caller's own call.
    void failLater(int number, const QString &description);

    QTcpSocket *m_socket = nullptr;
    Server *m_server = nullptr;
    int m_state = sckClosed;
    int m_receiveBuffer = 0;
    bool m_tls = false;
    ProxyChoice m_proxy;
    bool m_proxyFailed = false;
    // The proxy itself is the peer and forwards plain requests.
    bool forwardsToProxy() const { return !m_tls && m_proxy.proxy().type() == QNetworkProxy::HttpProxy; }
    // The description of a failure the proxy caused, with its number; empty when it is none.
    QString proxyFailure(QAbstractSocket::SocketError error, int *number) const;
    QString m_peer;             // "host:port", the key of the remembered session
    // The TLS state of the connection; none for a plain one.
    std::unique_ptr<TlsLink> m_tlsLink;
    bool m_notifyQueued = false;
    // Bumped by every Close, Connect, Listen and Accept: work queued for an older
    // connection sees a different number and does nothing.
    quint64 m_generation = 0;
    quint16 m_localPort = 0;
    QString m_listenAddress;
    QString m_remoteHost;
    QString m_listenError;
    // Bytes given to SendData before the queued connection attempt started.
    QByteArray m_earlyWrite;
};

// Close a socket and return only when it reports State 0. A closed socket is left
// untouched. Closing a Qt socket is immediate, so no events need to run here.
void Ferme_Connect(Winsock &socket);
