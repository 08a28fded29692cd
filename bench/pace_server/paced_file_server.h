#pragma once
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>

class QTimer;

// A loopback HTTP/1.1 file server for the benchmarks.
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
//
// With a log file, every response adds one line when it ends, complete or cut
// short by the client:
//   CONNECTION REQUEST METHOD TARGET STATUS BODY_BYTES
// (connection number since start, request number on that connection, body
// bytes handed to the connection), so a benchmark can add up what a client
// made the server send.
class PacedFileServer : public QObject
{
    Q_OBJECT
public:
    explicit PacedFileServer(QObject *parent = nullptr);
    ~PacedFileServer() override;

    void setRootDir(const QString &dir);
    QString rootDir() const { return m_root; }
    // Body bytes per second and connection; 0 = unlimited.
    void setRate(qint64 bytesPerSecond);
    qint64 rate() const { return m_rate; }
    // Appends the request log to path; false when it cannot be opened.
    bool setLogFile(const QString &path);

    // Listens on 127.0.0.1; port 0 picks a free one.
    bool start(quint16 port = 0);
    void stop();
    bool isListening() const { return m_server.isListening(); }
    quint16 port() const;
    QString baseUrl() const;    // "http://127.0.0.1:port"
    QString errorString() const { return m_server.errorString(); }

private:
    struct Connection;

    // Outcome of reading a Range header against a file size.
    struct RangeRequest {
        enum Kind { Whole, Part, Unsatisfiable } kind = Whole;
        qint64 first = 0;   // Part: first and last byte, inclusive
        qint64 last = -1;
    };

    // Body bytes a paced connection may have sent elapsedMs after its
    // response began: floor(rate * elapsedMs / 1000), without overflow.
    static qint64 allowedBytes(qint64 rate, qint64 elapsedMs);
    // Reads a Range header value (empty when there is none). Anything that is
    // not one well-formed byte range is ignored (Whole), as HTTP allows; a
    // last byte past the end is clamped to the end.
    static RangeRequest parseRange(const QByteArray &value, qint64 size);

    // Sends on every paced connection what its allowance permits now. The
    // pacing timer calls it about every 10 ms.
    void pace();

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
    void logResponse(const Connection *c);
    void updateTimer();
    QString resolve(const QByteArray &target) const;
    qint64 now() const;

    QTcpServer m_server;
    QString m_root;
    qint64 m_rate = 0;
    QElapsedTimer m_clock;
    QFile m_log;
    QTimer *m_timer = nullptr;
    QList<Connection *> m_connections;
    QList<Connection *> m_closed;     // disconnected, to be deleted
    qint64 m_connectionCount = 0;
};
