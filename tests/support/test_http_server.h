#pragma once
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

#include <QHash>

class QTimer;

// One request header as the test server received it.
struct TestRequest
{
    QByteArray raw;          // the header bytes, CR LF CR LF included
    QByteArray method;
    QByteArray target;       // the path of the request line
    int connection = 0;      // index of the connection (0, 1, ... in accept order)
    int indexOnConnection = 0;
    // Value of a header (case-insensitive name), trimmed; empty when absent.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
};

// One accepted connection. Writes are queued steps run in order: bytes go out,
// pauses elapse, the connection closes. Steps added later run after the ones
// already queued, so a handler can script a whole answer at once:
//     conn->send(head).pause(50).send(body).close();
// A handler that adds nothing leaves the client waiting (a silent server).
class TestConnection : public QObject
{
    Q_OBJECT
public:
    TestConnection(QTcpSocket *socket, int index, QObject *parent);
    ~TestConnection() override;

    TestConnection &send(const QByteArray &bytes);
    // Sends bytes in pieces of chunkSize with delayMs between pieces.
    TestConnection &sendChunked(const QByteArray &bytes, int chunkSize, int delayMs);
    TestConnection &pause(int ms);
    // Closes after the queued writes have gone out.
    TestConnection &close();
    // Drops the connection at once, with anything still queued.
    void abort();
    // Runs fn when the queue reaches this point.
    TestConnection &then(std::function<void()> fn);

    int index() const { return m_index; }
    bool isOpen() const;
    QTcpSocket *socket() const { return m_socket; }
    // Bytes received after the last complete request header (a body, or a
    // request still arriving).
    QByteArray pending() const { return m_inbox; }

signals:
    void requestHeader(const QByteArray &raw);
    void disconnected();

private:
    struct Step {
        enum Kind { Send, Pause, Close, Call } kind;
        QByteArray bytes;
        int ms = 0;
        std::function<void()> fn;
    };
    void onReadyRead();
    void runSteps();

    QPointer<QTcpSocket> m_socket;
    int m_index = 0;
    QByteArray m_inbox;
    QList<Step> m_steps;
    QTimer *m_timer = nullptr;
    bool m_waiting = false;
    bool m_closing = false;
};

// Ways the file server of TestHttpServer::serveFile() misbehaves. Request
// numbers count every request the server received, from 0 (clearRecords()
// restarts them).
struct TestFileFaults
{
    bool ignoreRange = false;      // answer 200 with the whole file, whatever the Range
    qint64 maxRangeLength = 0;     // > 0: a ranged answer covers at most this many bytes
    bool connectionClose = false;  // say "Connection: close" and close after each answer
    bool closeIdle = false;        // close after each answer without saying so
    QHash<int, qint64> dropAfter;  // request -> body bytes sent, then the connection is closed
    QHash<int, qint64> stallAfter; // request -> body bytes sent, then silence (left open)
    int headPiece = 0;             // > 0: the head goes out in pieces of this many bytes
    int bodyPiece = 0;             // > 0: the body goes out in pieces of this many bytes
    int pieceDelayMs = 0;          // pause between two pieces
};

// What one answer of TestHttpServer::serveFile() carried.
struct TestServedAnswer
{
    int request = 0;
    int status = 0;
    qint64 first = -1;   // file offset of the first body byte (-1: no file bytes)
    qint64 length = 0;   // file bytes written to the connection
};

// A loopback HTTP server whose answers the test scripts. The request handler
// runs each time a complete request header (ended by CR LF CR LF) arrives on a
// connection, so kept-alive connections carry several requests; it gets the
// request and the connection to answer on. Every request is recorded.
class TestHttpServer : public QObject
{
    Q_OBJECT
public:
    using RequestHandler = std::function<void(const TestRequest &, TestConnection *)>;
    using ConnectHandler = std::function<void(TestConnection *)>;

    using Faults = TestFileFaults;
    using Served = TestServedAnswer;

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    // Listens on 127.0.0.1 and a free port.
    bool start();
    void stop();
    quint16 port() const;
    // "127.0.0.1:port", the host text of an address.
    QString hostPort() const;
    // "http://127.0.0.1:port"
    QString baseUrl() const;

    void setHandler(RequestHandler handler) { m_handler = std::move(handler); }
    // Runs when a connection is accepted, before any request (a greeting
    // server such as FTP answers here).
    void setConnectHandler(ConnectHandler handler) { m_connectHandler = std::move(handler); }

    // Serves data at every path as a file server with real byte ranges would
    // ("Range: bytes=a-b" and "bytes=a-"; 416 for a start past the end), keeping connections open between requests, with
    // the faults asked for. Replaces the request handler.
    void serveFile(const QByteArray &data, const Faults &faults = Faults());
    // The answers serveFile() gave, in request order.
    const QList<Served> &served() const { return m_served; }

    const QList<TestRequest> &requests() const { return m_requests; }
    int connectionCount() const { return m_connectionCount; }
    void clearRecords();

    // A response head: status line, the header lines given ("Name: value"
    // each), and the blank line.
    static QByteArray head(int status, const QByteArray &reason, const QList<QByteArray> &headers);
    // Head with Content-Length of body, then body.
    static QByteArray response(int status, const QByteArray &reason,
                               QList<QByteArray> headers, const QByteArray &body);

signals:
    void requestReceived(const TestRequest &request);

private:
    void onNewConnection();

    QTcpServer m_server;
    RequestHandler m_handler;
    ConnectHandler m_connectHandler;
    QList<TestRequest> m_requests;
    QList<Served> m_served;
    QList<QPointer<TestConnection>> m_connections;
    int m_connectionCount = 0;
};
