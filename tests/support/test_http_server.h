#pragma once
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>

// One request header as the test server received it.
struct TestRequest
{
    QByteArray raw;     // the header bytes, CR LF CR LF included
    QByteArray target;  // the path of the request line
    // Value of a header (case-insensitive name), trimmed; empty when absent.
    QByteArray header(const QByteArray &name) const;
};

// One accepted connection. Writes are queued steps run in order: bytes go out,
// pauses elapse, the connection closes, so a handler scripts a whole answer at
// once: conn->send(head).pause(50).send(body).close();
// A handler that adds nothing leaves the client waiting (a silent server).
class TestConnection : public QObject
{
    Q_OBJECT
public:
    TestConnection(QTcpSocket *socket, QObject *parent);
    ~TestConnection() override;

    TestConnection &send(const QByteArray &bytes) { return queue({bytes, -1, false}); }
    // Sends bytes in pieces of chunkSize with delayMs between pieces.
    TestConnection &sendChunked(const QByteArray &bytes, int chunkSize, int delayMs = 0);
    TestConnection &pause(int ms) { return queue({{}, ms, false}); }
    // Closes after the queued writes have gone out.
    TestConnection &close() { return queue({{}, -1, true}); }

    QTcpSocket *socket() const { return m_socket; }
    // Bytes received after the last complete request header.
    QByteArray pending() const { return m_inbox; }
    std::function<void(const QByteArray &raw)> onRequest; // each complete request header

signals:
    void disconnected();

private:
    struct Step { QByteArray bytes; int ms; bool close; }; // ms >= 0: a pause
    TestConnection &queue(const Step &step);
    void runSteps();

    QPointer<QTcpSocket> m_socket;
    QByteArray m_inbox;
    QList<Step> m_steps;
    QTimer m_timer;
};

// A loopback HTTP server whose answers the test scripts. The request handler
// runs each time a complete request header arrives on a connection (kept-alive
// connections carry several); every request is recorded.
class TestHttpServer : public QObject
{
    Q_OBJECT
public:
    using RequestHandler = std::function<void(const TestRequest &, TestConnection *)>;
    using ConnectHandler = std::function<void(TestConnection *)>;

    // Ways the file server of serveFile() misbehaves. Request numbers count every
    // request received, from 0 (clearRecords() restarts them).
    struct Faults
    {
        bool ignoreRange = false;        // answer 200 with the whole file, whatever the Range
        qint64 maxRangeLength = 0;       // > 0: a ranged answer covers at most this many bytes
        bool connectionClose = false;    // say "Connection: close" and close after each answer
        bool closeIdle = false;          // close after each answer without saying so
        QHash<int, qint64> dropAfter{};  // request -> body bytes sent, then the connection is closed
        QHash<int, qint64> stallAfter{}; // request -> body bytes sent, then silence (left open)
        int headPiece = 0;               // > 0: the head goes out in pieces of this many bytes
        int bodyPiece = 0;               // > 0: the body goes out in pieces of this many bytes
        int pieceDelay = 0;              // ms between those pieces
        QHash<int, int> busy{};          // request -> answered 503 with this Retry-After (seconds)
        int connections = 0;             // > 0: a request while more connections are open gets 503 (a per-address limit)
        // How the file's body is framed: with its length, chunked, or ended by
        // closing the connection, these two without a length and without ranges;
        // or ranges whose answers give no length but their Content-Range.
        enum class Body { Sized, Chunked, Closed, RangesUnsized };
        Body body = Body::Sized;
    };
    // One address of a site (serveSite()).
    struct Route
    {
        int status = 200;                  // 200: the file, with byte ranges; any other: its headers and body
        QByteArray file;                   // what 200 serves
        QList<QByteArray> headers;         // more header lines; "%n" in them stands for the request's number
        QByteArray body;                   // the body of any other answer
        bool contentType = true;           // say "Content-Type: application/octet-stream" for the file
        QByteArray login;                  // "user:password": a request without it as Basic authorization gets 401
        bool refuseAuthorization = false;  // 400 to a request that carries an Authorization (a signed address)
        int busyFirst = 0;                 // the first this many requests get 503 with "Retry-After: 1"
        int cutFirst = 0;                  // the first this many answers of the file stop half-way (connection closed)
        QList<QByteArray> needs;           // "Name: value" lines a request must carry, each once, else 403
        bool loginPage = false;            // instead of that 403, a 200 web page (a site's login form)
        QList<QByteArray> refuses;         // header names a request must not carry, else 400
        Faults faults{};                   // how the file goes out (pieces and pauses)
    };
    // What one answer of serveFile() carried: the request, the file bytes written.
    struct Served { int request = 0; qint64 length = 0; };

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override { stop(); }

    // Listens on 127.0.0.1 and a free port.
    bool start() { return m_server.listen(QHostAddress::LocalHost, 0); }
    void stop();
    QString hostPort() const { return QStringLiteral("127.0.0.1:") + QString::number(m_server.serverPort()); }
    QString baseUrl() const { return QStringLiteral("http://") + hostPort(); }

    void setHandler(RequestHandler handler) { m_handler = std::move(handler); }
    // Runs when a connection is accepted, before any request (a greeting
    // server such as FTP answers here).
    void setConnectHandler(ConnectHandler handler) { m_connectHandler = std::move(handler); }

    // Serves data at every path as a file server with byte ranges would
    // ("bytes=a-b" and "bytes=a-"; 416 for a start past the end), keeping
    // connections open, with the faults asked for. Replaces the handler.
    void serveFile(const QByteArray &data, const Faults &faults);
    // Serves a site the way today's download sites behave: each route answers
    // its request target (path and query), or its path whatever the query;
    // anything else gets 404. Files come with byte ranges, an entity tag (of
    // their bytes) and If-Range; like the filters in front of many sites, a
    // User-Agent naming "MSIE" gets 403. Replaces the handler.
    void serveSite(const QHash<QByteArray, Route> &routes);
    // The answers serveFile() gave, in request order.
    const QList<Served> &served() const { return m_served; }

    const QList<TestRequest> &requests() const { return m_requests; }
    int connectionCount() const { return m_connectionCount; }
    void clearRecords();

    // A response head: status line, the header lines given, the blank line.
    static QByteArray head(int status, const QByteArray &reason, const QList<QByteArray> &headers);
    // Head with Content-Length of body, then body.
    static QByteArray response(int status, const QByteArray &reason, QList<QByteArray> headers,
                               const QByteArray &body);

private:
    // One answer of the file server: data with ranges, the faults asked for.
    void sendFile(const TestRequest &req, TestConnection *conn, const QByteArray &data, const Faults &faults,
                  QList<QByteArray> headers, const QByteArray &etag = {});

    QTcpServer m_server;
    RequestHandler m_handler;
    ConnectHandler m_connectHandler;
    QList<TestRequest> m_requests;
    QList<Served> m_served;
    QList<QPointer<TestConnection>> m_connections;
    int m_connectionCount = 0;
};
