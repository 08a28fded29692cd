// The paced file server the end-to-end tests and benchmarks rely on: byte
// ranges, keep-alive, and pacing checked against an injected clock (never
// against the wall clock).
#include "support/paced_file_server.h"

#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

struct Reply
{
    int status = 0;
    QMap<QByteArray, QByteArray> headers; // lower-case names
    QByteArray body;
};

// A raw client whose received bytes are kept across replies, so that pipelined
// answers are taken apart one at a time.
class Client
{
public:
    explicit Client(quint16 port) { m_socket.connectToHost(QHostAddress::LocalHost, port); }
    void send(const QByteArray &bytes) { m_socket.write(bytes); }
    void get(const QByteArray &path, const QByteArray &extra = {}, const QByteArray &method = "GET")
    {
        send(method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n");
    }

    // One whole reply, framed by Content-Length (no body for HEAD); status 0 when
    // none came or the bytes do not start a reply.
    Reply read(bool headRequest = false)
    {
        Reply reply;
        qsizetype end = -1;
        if (!QTest::qWaitFor([&] { return (end = buffer().indexOf("\r\n\r\n")) >= 0; }, 20000)
            || !m_buffer.startsWith("HTTP/1.1 "))
            return reply;
        const QList<QByteArray> lines = m_buffer.left(end).split('\n');
        reply.status = lines.value(0).split(' ').value(1).toInt();
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            reply.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
        const qint64 length = headRequest ? 0 : reply.headers.value("content-length").toLongLong();
        if (!QTest::qWaitFor([&] { return buffer().size() >= end + 4 + length; }, 20000))
            return Reply{};
        reply.body = m_buffer.mid(end + 4, length);
        m_buffer.remove(0, end + 4 + length);
        return reply;
    }

    // Body bytes of the reply being received; -1 before its head is whole.
    qint64 bodyBytesSoFar()
    {
        const qsizetype end = buffer().indexOf("\r\n\r\n");
        return end < 0 ? -1 : m_buffer.size() - end - 4;
    }
    bool waitClosed()
    {
        return QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; },
                               20000);
    }

private:
    const QByteArray &buffer()
    {
        QCoreApplication::processEvents();
        m_buffer += m_socket.readAll();
        return m_buffer;
    }

    QTcpSocket m_socket;
    QByteArray m_buffer;
};

} // namespace

class TestPacedServer : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_root;
    QByteArray m_small; // "small.bin"
    QByteArray m_large; // "large.bin", several streaming pieces
    std::unique_ptr<PacedFileServer> m_server;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_root = m_dir.path() + QStringLiteral("/root");
        QVERIFY(QDir().mkpath(m_root));
        QRandomGenerator gen(11);
        m_large.resize(3 * 1024 * 1024 + 12345);
        for (char &c : m_large)
            c = char(gen.generate() & 0xff);
        m_small = m_large.right(300000);
        const auto write = [](const QString &path, const QByteArray &data) {
            QFile f(path);
            return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
        };
        QVERIFY(write(m_root + "/small.bin", m_small) && write(m_root + "/large.bin", m_large));
        QVERIFY(write(m_root + "/empty.bin", {}) && write(m_dir.path() + "/secret.bin", "outside the root"));
    }

    void init()
    {
        m_server = std::make_unique<PacedFileServer>();
        m_server->setRootDir(m_root);
        QVERIFY(m_server->start());
    }
    void cleanup() { m_server.reset(); }

    void ranges_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("range");
        QTest::addColumn<int>("status");
        QTest::addColumn<qint64>("first"); // expected body: [first, last] of the file
        QTest::addColumn<qint64>("last");
        QTest::newRow("whole, streamed") << QByteArray("/large.bin") << QByteArray() << 200 << qint64(0) << qint64(3158072);
        QTest::newRow("a-b across pieces") << QByteArray("/large.bin") << QByteArray("bytes=262143-2000000") << 206 << qint64(262143) << qint64(2000000);
        QTest::newRow("a-") << QByteArray("/small.bin") << QByteArray("bytes=299990-") << 206 << qint64(299990) << qint64(299999);
        QTest::newRow("end clamped") << QByteArray("/small.bin") << QByteArray("bytes=299000-400000") << 206 << qint64(299000) << qint64(299999);
        QTest::newRow("suffix") << QByteArray("/small.bin") << QByteArray("bytes=-7") << 206 << qint64(299993) << qint64(299999);
        QTest::newRow("reversed: ignored") << QByteArray("/small.bin") << QByteArray("bytes=9-3") << 200 << qint64(0) << qint64(299999);
        QTest::newRow("two ranges: ignored") << QByteArray("/small.bin") << QByteArray("bytes=0-1,5-6") << 200 << qint64(0) << qint64(299999);
        QTest::newRow("start at end") << QByteArray("/small.bin") << QByteArray("bytes=300000-") << 416 << qint64(0) << qint64(-1);
        QTest::newRow("zero suffix") << QByteArray("/small.bin") << QByteArray("bytes=-0") << 416 << qint64(0) << qint64(-1);
        QTest::newRow("empty file") << QByteArray("/empty.bin") << QByteArray() << 200 << qint64(0) << qint64(-1);
        QTest::newRow("empty file, range") << QByteArray("/empty.bin") << QByteArray("bytes=0-") << 416 << qint64(0) << qint64(-1);
        QTest::newRow("escaped name, query") << QByteArray("/sm%61ll.bin?x=1") << QByteArray("bytes=0-9") << 206 << qint64(0) << qint64(9);
    }

    void ranges()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, range);
        QFETCH(int, status);
        QFETCH(qint64, first);
        QFETCH(qint64, last);
        Client client(m_server->port());
        client.get(path, range.isEmpty() ? QByteArray() : "Range: " + range + "\r\n");
        const Reply reply = client.read();
        const QByteArray file = path.startsWith("/large") ? m_large : path.startsWith("/empty") ? QByteArray() : m_small;
        const QByteArray size = QByteArray::number(file.size());
        QCOMPARE(reply.status, status);
        QVERIFY(reply.body == file.mid(first, last - first + 1));
        QCOMPARE(reply.headers.value("content-length"), QByteArray::number(last - first + 1));
        const QByteArray contentRange = status == 206 ? "bytes " + QByteArray::number(first) + '-' + QByteArray::number(last) + '/' + size
                                        : status == 416 ? "bytes */" + size : QByteArray();
        QCOMPARE(reply.headers.value("content-range"), contentRange);
        if (status != 416)
            QCOMPARE(reply.headers.value("content-type"), QByteArray("application/octet-stream"));
        QCOMPARE(m_server->bodyBytesSent(), last - first + 1);

        // Offsets beyond 32 bits, and a last byte too large for any integer.
        const auto big = PacedFileServer::parseRange("bytes=4294967296-99999999999999999999999", 5000000000);
        QVERIFY(big.kind == PacedFileServer::RangeRequest::Part && big.first == 4294967296 && big.last == 4999999999);
    }

    // Requests sent together, or with a head split across writes, answered in
    // order on one connection; HEAD has no body; nothing outside the root is
    // served; "Connection: close" and HTTP/1.0 end the connection.
    void keepAlive()
    {
        Client client(m_server->port());
        client.get("/large.bin");
        client.get("/small.bin", "Range: bytes=10-19\r\n", "HEAD");
        client.get("/small.bin", "Range: bytes=999999-\r\n");
        client.get("/../secret.bin");
        client.get("/%2e%2e/secret.bin");
        client.get("/small.bin", {}, "POST");
        client.get("/small.bin", "Range: bytes=10-19\r\n");
        Reply r = client.read();
        QCOMPARE(r.status, 200);
        QVERIFY(r.body == m_large);
        QCOMPARE(r.headers.value("connection"), QByteArray("keep-alive"));
        r = client.read(true);
        QCOMPARE(r.status, 206);
        QCOMPARE(r.headers.value("content-length"), QByteArray("10"));
        for (int status : {416, 404, 404, 405}) {
            r = client.read();
            QCOMPARE(r.status, status);
            QVERIFY(!r.body.contains("outside the root"));
        }
        QVERIFY(client.read().body == m_small.mid(10, 10));

        for (const QByteArray &part : QByteArrayList{"GET /small.bin HTTP/1.1\r\nHo", "st: 127.0.0.1\r\nRange: bytes=0-4\r\n\r", "\n"}) {
            client.send(part);
            QTest::qWait(20);
        }
        QVERIFY(client.read().body == m_small.left(5));

        client.get("/small.bin", "Connection: close\r\nRange: bytes=5-9\r\n");
        r = client.read();
        QCOMPARE(r.headers.value("connection"), QByteArray("close"));
        QVERIFY(r.body == m_small.mid(5, 5));
        QVERIFY(client.waitClosed());
        QCOMPARE(m_server->connectionCount(), 1);
        QCOMPARE(m_server->requestCount(), 9);

        Client old(m_server->port());
        old.send("GET /small.bin HTTP/1.0\r\nRange: bytes=0-0\r\n\r\n");
        QCOMPARE(old.read().status, 206);
        QVERIFY(old.waitClosed());
    }

    // With the clock frozen no body byte goes out, however long the test waits;
    // each step of the clock lets out exactly rate * elapsed since the response
    // began; a connection idle for a minute earns no burst for its next request.
    void pacesWithoutBurst()
    {
        qint64 clockMs = 0;
        m_server->setRate(10000);
        m_server->setClock([&clockMs] { return clockMs; });
        Client client(m_server->port());
        const struct { QByteArray range; qint64 start; QList<std::pair<qint64, qint64>> steps; QByteArray body; } requests[] = {
            {"0-39999", 1000, {{0, 0}, {1, 10}, {999, 9990}, {2500, 25000}, {2501, 25010}, {3999, 39990}, {5000, 40000}},
             m_small.left(40000)},
            {"100000-", 66000, {{0, 0}, {1500, 15000}, {100000, 200000}}, m_small.mid(100000)}};
        for (const auto &request : requests) {
            clockMs = request.start;
            client.get("/small.bin", "Range: bytes=" + request.range + "\r\n");
            for (const auto &[elapsedMs, bytes] : request.steps) {
                clockMs = request.start + elapsedMs;
                QTRY_COMPARE(client.bodyBytesSoFar(), bytes);
                QTest::qWait(30);
                QCOMPARE(client.bodyBytesSoFar(), bytes);
            }
            QVERIFY(client.read().body == request.body);
        }
        QCOMPARE(m_server->bodyBytesSent(), qint64(240000));
        QCOMPARE(m_server->connectionCount(), 1);
    }
};

QTEST_GUILESS_MAIN(TestPacedServer)
#include "test_paced_server.moc"
