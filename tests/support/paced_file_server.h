#pragma once
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <functional>

class QTimer;

// A loopback HTTP/1.1 file server for end-to-end tests and benchmarks.
//
// It serves the regular files under a root folder: GET and HEAD, one byte
// range per request ("Range: bytes=a-b", "a-" or "-n"; 206 with Content-Range,
// 416 when the range starts past the end), keep-alive connections that carry
// any number of requests ("Connection: close" honoured), every file as
// application/octet-stream.
//
// With a rate set, every connection is paced on its own and exactly, with no
// burst: t seconds after the first byte of a response, the connection has sent
// at most rate * t body bytes of it. The allowance starts at nothing with each
// response, so time a connection spends idle between requests earns nothing
// either. Without a rate, files stream as fast as the client reads them, in
// pieces, never loaded whole.
class PacedFileServer : public QObject
{
    Q_OBJECT
public:
    // Monotonic milliseconds; the default reads a steady clock. Tests inject
    // their own to move time by hand.
    using Clock = std::function<qint64()>;

    // Outcome of reading a Range header against a file size.
    struct RangeRequest {
        enum Kind { Whole, Part, Unsatisfiable } kind = Whole;
        qint64 first = 0;   // Part: first and last byte, inclusive
        qint64 last = -1;
    };

    explicit PacedFileServer(QObject *parent = nullptr);
    ~PacedFileServer() override;

    void setRootDir(const QString &dir);
    QString rootDir() const { return m_root; }
    // Body bytes per second and connection; 0 = unlimited.
    void setRate(qint64 bytesPerSecond);
    qint64 rate() const { return m_rate; }
    void setClock(Clock clock);

    // Listens on 127.0.0.1; port 0 picks a free one.
    bool start(quint16 port = 0);
    void stop();
    bool isListening() const { return m_server.isListening(); }
    quint16 port() const;
    QString baseUrl() const;    // "http://127.0.0.1:port"
    QString errorString() const { return m_server.errorString(); }

    // Counters since start().
    int connectionCount() const { return m_connectionCount; }
    int requestCount() const { return m_requestCount; }
    qint64 bodyBytesSent() const { return m_bodyBytesSent; }

    // Sends on every paced connection what its allowance permits now. The
    // pacing timer calls it about every 10 ms.
    void pace();

    // Body bytes a paced connection may have sent elapsedMs after its
    // response began: floor(rate * elapsedMs / 1000), without overflow.
    static qint64 allowedBytes(qint64 rate, qint64 elapsedMs);
    // Reads a Range header value (empty when there is none). Anything that is
    // not one well-formed byte range is ignored (Whole), as HTTP allows; a
    // last byte past the end is clamped to the end.
    static RangeRequest parseRange(const QByteArray &value, qint64 size);

private:
    struct Connection;

    void onNewConnection();
    void onReadyRead(Connection *c);
    void onBytesWritten(Connection *c);
    void onDisconnected(Connection *c);
    void purgeClosed();
    void handleRequests(Connection *c);
    void respond(Connection *c, const QByteArray &head);
    void sendSimple(Connection *c, int status, bool keepAlive, const QByteArray &extraHeaders = {},
                    bool withBody = true);
    void pump(Connection *c);
    bool sendPiece(Connection *c, qint64 maxBytes);
    void finishResponse(Connection *c);
    void updateTimer();
    QString resolve(const QByteArray &target) const;
    qint64 now() const;

    QTcpServer m_server;
    QString m_root;
    qint64 m_rate = 0;
    Clock m_clock;
    QTimer *m_timer = nullptr;
    QList<Connection *> m_connections;
    QList<Connection *> m_closed;     // disconnected, to be deleted
    int m_connectionCount = 0;
    int m_requestCount = 0;
    qint64 m_bodyBytesSent = 0;
};
