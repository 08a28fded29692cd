// The paced file server the end-to-end tests and benchmarks rely on: byte
// ranges, keep-alive, paths, and pacing checked against an injected clock
// (never against the wall clock).
#include "support/paced_file_server.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

namespace {

struct Reply
{
    int status = 0;
    QMap<QByteArray, QByteArray> headers;   // lower-case names
    QByteArray body;
};

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        data[i] = char(gen.generate() & 0xff);
    return data;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// A raw client socket whose received bytes are kept across replies, so that
// pipelined answers are taken apart one at a time.
class Client
{
public:
    explicit Client(quint16 port)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
    }
    void send(const QByteArray &bytes) { m_socket.write(bytes); }
    void get(const QByteArray &path, const QByteArray &extra = {}, const QByteArray &method = "GET")
    {
        send(method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n");
    }

    // Runs the event loop until one whole reply (framed by Content-Length;
    // no body for HEAD) has arrived.
    bool read(Reply &reply, bool headRequest = false)
    {
        const QDeadlineTimer deadline(20000);
        int end = -1;
        while ((end = m_buffer.indexOf("\r\n\r\n")) < 0) {
            if (!pull(deadline))
                return false;
        }
        reply = {};
        const QList<QByteArray> lines = m_buffer.left(end).split('\n');
        reply.status = lines.value(0).split(' ').value(1).toInt();
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            reply.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
        const qint64 length = headRequest ? 0 : reply.headers.value("content-length").toLongLong();
        while (m_buffer.size() < end + 4 + length) {
            if (!pull(deadline))
                return false;
        }
        reply.body = m_buffer.mid(end + 4, length);
        m_buffer.remove(0, end + 4 + length);
        return true;
    }

    // Bytes that arrived and were not taken by read().
    QByteArray &buffer()
    {
        QCoreApplication::processEvents();
        m_buffer += m_socket.readAll();
        return m_buffer;
    }
    // Whole head received: the bytes after it.
    qint64 bodyBytesSoFar()
    {
        const QByteArray &b = buffer();
        const int end = b.indexOf("\r\n\r\n");
        return end < 0 ? -1 : b.size() - end - 4;
    }
    bool waitClosed()
    {
        const QDeadlineTimer deadline(20000);
        while (m_socket.state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired())
            QTest::qWait(5);
        return m_socket.state() == QAbstractSocket::UnconnectedState;
    }

private:
    bool pull(const QDeadlineTimer &deadline)
    {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(1);
        m_buffer += m_socket.readAll();
        return true;
    }

    QTcpSocket m_socket;
    QByteArray m_buffer;
};

} // namespace

class TestPacedServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void parseRange_data();
    void parseRange();
    void allowedBytes();
    void servesFilesAndRanges_data();
    void servesFilesAndRanges();
    void keepAliveAndPipelining();
    void onlyFilesUnderTheRoot();
    void pacesWithoutBurst();

private:
    QTemporaryDir m_dir;
    QString m_root;
    QByteArray m_small;   // "small.bin"
    QByteArray m_large;   // "large.bin", several streaming pieces
};

void TestPacedServer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_root = m_dir.path() + QStringLiteral("/root");
    QVERIFY(QDir().mkpath(m_root));
    m_small = randomBytes(300000, 7);
    m_large = randomBytes(3 * 1024 * 1024 + 12345, 11);
    QVERIFY(writeFile(m_root + QStringLiteral("/small.bin"), m_small));
    QVERIFY(writeFile(m_root + QStringLiteral("/large.bin"), m_large));
    QVERIFY(writeFile(m_root + QStringLiteral("/empty.bin"), {}));
    QVERIFY(writeFile(m_dir.path() + QStringLiteral("/secret.bin"), "outside the root"));
}

void TestPacedServer::parseRange_data()
{
    using R = PacedFileServer::RangeRequest;
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("kind");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");

    QTest::newRow("none") << QByteArray() << qint64(1000) << int(R::Whole) << qint64(0) << qint64(-1);
    QTest::newRow("a-b") << QByteArray("bytes=100-199") << qint64(1000) << int(R::Part) << qint64(100) << qint64(199);
    QTest::newRow("first byte") << QByteArray("bytes=0-0") << qint64(1000) << int(R::Part) << qint64(0) << qint64(0);
    QTest::newRow("a-") << QByteArray("bytes=900-") << qint64(1000) << int(R::Part) << qint64(900) << qint64(999);
    QTest::newRow("last byte") << QByteArray("bytes=999-999") << qint64(1000) << int(R::Part) << qint64(999) << qint64(999);
    QTest::newRow("end clamped") << QByteArray("bytes=990-5000") << qint64(1000) << int(R::Part) << qint64(990) << qint64(999);
    QTest::newRow("spaces, case") << QByteArray(" Bytes = 5 - 9 ") << qint64(1000) << int(R::Part) << qint64(5) << qint64(9);
    QTest::newRow("suffix") << QByteArray("bytes=-100") << qint64(1000) << int(R::Part) << qint64(900) << qint64(999);
    QTest::newRow("suffix past start") << QByteArray("bytes=-5000") << qint64(1000) << int(R::Part) << qint64(0) << qint64(999);
    QTest::newRow("huge last") << QByteArray("bytes=10-99999999999999999999999") << qint64(1000) << int(R::Part) << qint64(10) << qint64(999);
    QTest::newRow("above 2 GiB") << QByteArray("bytes=4294967296-") << qint64(5000000000) << int(R::Part) << qint64(4294967296) << qint64(4999999999);
    QTest::newRow("start at end") << QByteArray("bytes=1000-") << qint64(1000) << int(R::Unsatisfiable) << qint64(0) << qint64(-1);
    QTest::newRow("start past end") << QByteArray("bytes=2000-3000") << qint64(1000) << int(R::Unsatisfiable) << qint64(0) << qint64(-1);
    QTest::newRow("empty file") << QByteArray("bytes=0-") << qint64(0) << int(R::Unsatisfiable) << qint64(0) << qint64(-1);
    QTest::newRow("zero suffix") << QByteArray("bytes=-0") << qint64(1000) << int(R::Unsatisfiable) << qint64(0) << qint64(-1);
    QTest::newRow("reversed") << QByteArray("bytes=5-3") << qint64(1000) << int(R::Whole) << qint64(0) << qint64(-1);
    QTest::newRow("two ranges") << QByteArray("bytes=0-1,5-6") << qint64(1000) << int(R::Whole) << qint64(0) << qint64(-1);
    QTest::newRow("other unit") << QByteArray("items=0-1") << qint64(1000) << int(R::Whole) << qint64(0) << qint64(-1);
    QTest::newRow("no numbers") << QByteArray("bytes=-") << qint64(1000) << int(R::Whole) << qint64(0) << qint64(-1);
    QTest::newRow("negative") << QByteArray("bytes=--5") << qint64(1000) << int(R::Whole) << qint64(0) << qint64(-1);
    QTest::newRow("letters") << QByteArray("bytes=1a-5") << qint64(1000) << int(R::Whole) << qint64(0) << qint64(-1);
}

void TestPacedServer::parseRange()
{
    QFETCH(QByteArray, value);
    QFETCH(qint64, size);
    QFETCH(int, kind);
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    const PacedFileServer::RangeRequest r = PacedFileServer::parseRange(value, size);
    QCOMPARE(int(r.kind), kind);
    if (kind == PacedFileServer::RangeRequest::Part) {
        QCOMPARE(r.first, first);
        QCOMPARE(r.last, last);
    }
}

// The allowance against a wide integer reference over rates and times from a
// millisecond to years, and its two defining properties: it never decreases,
// and no interval yields more than the rate allows (no burst).
void TestPacedServer::allowedBytes()
{
    const qint64 rates[] = {1, 7, 999, 1000, 1001, 2097152, 100000007, 123456789012,
                            std::numeric_limits<qint64>::max() / 1000};
    const qint64 times[] = {0, 1, 9, 10, 333, 999, 1000, 1001, 1999, 86400000, 74709314171, 74709314172, 100000000000};
    for (qint64 rate : rates) {
        qint64 previous = 0;
        for (qint64 ms : times) {
            const __int128 exact = std::min<__int128>(static_cast<__int128>(rate) * ms / 1000,
                                                      std::numeric_limits<qint64>::max());
            const qint64 got = PacedFileServer::allowedBytes(rate, ms);
            QVERIFY2(got == static_cast<qint64>(exact),
                     qPrintable(QStringLiteral("rate %1, %2 ms: %3").arg(rate).arg(ms).arg(got)));
            QVERIFY(got >= previous);
            previous = got;
        }
        for (qint64 t = 0; t < 3000; t += 37) {
            const qint64 over10ms = PacedFileServer::allowedBytes(rate, t + 10) - PacedFileServer::allowedBytes(rate, t);
            QVERIFY(over10ms <= rate / 100 + 1);
        }
    }
    QCOMPARE(PacedFileServer::allowedBytes(0, 5000), qint64(0));
    QCOMPARE(PacedFileServer::allowedBytes(1000, -5), qint64(0));
    QVERIFY(PacedFileServer::allowedBytes(std::numeric_limits<qint64>::max() / 2, 1000000000) > 0);
}

void TestPacedServer::servesFilesAndRanges_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("first");    // expected body: [first, last] of the file
    QTest::addColumn<qint64>("last");

    QTest::newRow("whole") << QByteArray("/small.bin") << QByteArray() << 200 << qint64(0) << qint64(299999);
    QTest::newRow("whole, streamed") << QByteArray("/large.bin") << QByteArray() << 200 << qint64(0) << qint64(3 * 1024 * 1024 + 12344);
    QTest::newRow("a-b") << QByteArray("/small.bin") << QByteArray("bytes=1000-1999") << 206 << qint64(1000) << qint64(1999);
    QTest::newRow("a-") << QByteArray("/small.bin") << QByteArray("bytes=299990-") << 206 << qint64(299990) << qint64(299999);
    QTest::newRow("clamped") << QByteArray("/small.bin") << QByteArray("bytes=299000-400000") << 206 << qint64(299000) << qint64(299999);
    QTest::newRow("suffix") << QByteArray("/small.bin") << QByteArray("bytes=-7") << 206 << qint64(299993) << qint64(299999);
    QTest::newRow("middle of large") << QByteArray("/large.bin") << QByteArray("bytes=262143-2000000") << 206 << qint64(262143) << qint64(2000000);
    QTest::newRow("ignored range") << QByteArray("/small.bin") << QByteArray("bytes=9-3") << 200 << qint64(0) << qint64(299999);
    QTest::newRow("past end") << QByteArray("/small.bin") << QByteArray("bytes=300000-") << 416 << qint64(0) << qint64(-1);
    QTest::newRow("empty file") << QByteArray("/empty.bin") << QByteArray() << 200 << qint64(0) << qint64(-1);
    QTest::newRow("empty file, range") << QByteArray("/empty.bin") << QByteArray("bytes=0-") << 416 << qint64(0) << qint64(-1);
    QTest::newRow("escaped name") << QByteArray("/sm%61ll.bin?x=1") << QByteArray("bytes=0-9") << 206 << qint64(0) << qint64(9);
}

void TestPacedServer::servesFilesAndRanges()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, range);
    QFETCH(int, status);
    QFETCH(qint64, first);
    QFETCH(qint64, last);

    PacedFileServer server;
    server.setRootDir(m_root);
    QVERIFY(server.start());
    Client client(server.port());
    client.get(path, range.isEmpty() ? QByteArray() : "Range: " + range + "\r\n");
    Reply reply;
    QVERIFY(client.read(reply));

    const QByteArray &file = path.startsWith("/large") ? m_large : path.startsWith("/empty") ? QByteArray() : m_small;
    const QByteArray size = QByteArray::number(file.size());
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.body.size(), last - first + 1);
    QVERIFY(reply.body == file.mid(first, last - first + 1));
    QCOMPARE(reply.headers.value("content-length"), QByteArray::number(last - first + 1));
    if (status == 206) {
        QCOMPARE(reply.headers.value("content-range"),
                 "bytes " + QByteArray::number(first) + '-' + QByteArray::number(last) + '/' + size);
    } else if (status == 416) {
        QCOMPARE(reply.headers.value("content-range"), "bytes */" + size);
    } else {
        QVERIFY(!reply.headers.contains("content-range"));
    }
    if (status != 416)
        QCOMPARE(reply.headers.value("content-type"), QByteArray("application/octet-stream"));
    QCOMPARE(server.bodyBytesSent(), last - first + 1);
}

// Several requests on one connection, sent together and with a header split
// across writes, answered in order; HEAD has no body; "Connection: close"
// ends the connection after its reply.
void TestPacedServer::keepAliveAndPipelining()
{
    PacedFileServer server;
    server.setRootDir(m_root);
    QVERIFY(server.start());
    Client client(server.port());

    client.get("/large.bin");
    client.get("/small.bin", "Range: bytes=10-19\r\n", "HEAD");
    client.get("/small.bin", "Range: bytes=999999-\r\n");
    client.get("/nothing-here.bin");
    client.get("/small.bin", "Range: bytes=10-19\r\n");
    Reply r;
    QVERIFY(client.read(r));
    QCOMPARE(r.status, 200);
    QVERIFY(r.body == m_large);
    QCOMPARE(r.headers.value("connection"), QByteArray("keep-alive"));
    QVERIFY(client.read(r, true));
    QCOMPARE(r.status, 206);
    QCOMPARE(r.headers.value("content-length"), QByteArray("10"));
    QVERIFY(client.read(r));
    QCOMPARE(r.status, 416);
    QVERIFY(client.read(r));
    QCOMPARE(r.status, 404);
    QVERIFY(client.read(r));
    QCOMPARE(r.status, 206);
    QVERIFY(r.body == m_small.mid(10, 10));

    client.send("GET /small.bin HTTP/1.1\r\nHo");
    QTest::qWait(20);
    client.send("st: 127.0.0.1\r\nRange: bytes=0-4\r\n\r");
    QTest::qWait(20);
    client.send("\n");
    QVERIFY(client.read(r));
    QCOMPARE(r.status, 206);
    QVERIFY(r.body == m_small.left(5));

    client.get("/small.bin", "Connection: close\r\nRange: bytes=5-9\r\n");
    QVERIFY(client.read(r));
    QCOMPARE(r.headers.value("connection"), QByteArray("close"));
    QVERIFY(r.body == m_small.mid(5, 5));
    QVERIFY(client.waitClosed());
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(server.requestCount(), 7);

    // HTTP/1.0 closes unless asked to keep the connection.
    Client old(server.port());
    old.send("GET /small.bin HTTP/1.0\r\nRange: bytes=0-0\r\n\r\n");
    QVERIFY(old.read(r));
    QCOMPARE(r.status, 206);
    QVERIFY(old.waitClosed());
}

void TestPacedServer::onlyFilesUnderTheRoot()
{
    PacedFileServer server;
    server.setRootDir(m_root);
    QVERIFY(server.start());
    Client client(server.port());
    const QByteArray paths[] = {"/missing.bin", "/../secret.bin", "/%2e%2e/secret.bin", "/", "/small.bin/",
                                "small.bin", "/%00small.bin"};
    for (const QByteArray &path : paths) {
        client.get(path);
        Reply r;
        QVERIFY(client.read(r));
        QVERIFY2(r.status == 404, path.constData());
        QVERIFY(!r.body.contains("outside the root"));
    }
    client.get("/small.bin", {}, "POST");
    Reply r;
    QVERIFY(client.read(r));
    QCOMPARE(r.status, 405);
    QCOMPARE(server.bodyBytesSent(), qint64(0));
}

// With the clock frozen no body byte goes out, however long the test waits;
// each step of the clock lets out exactly what the rate allows since the
// response began, and an idle connection earns no burst for its next request.
void TestPacedServer::pacesWithoutBurst()
{
    qint64 clockMs = 1000;
    const qint64 rate = 10000;
    PacedFileServer server;
    server.setRootDir(m_root);
    server.setRate(rate);
    server.setClock([&clockMs] { return clockMs; });
    QVERIFY(server.start());
    Client client(server.port());

    client.get("/small.bin", "Range: bytes=0-39999\r\n");
    QTRY_COMPARE(client.bodyBytesSoFar(), qint64(0));
    QTest::qWait(50);
    QCOMPARE(client.bodyBytesSoFar(), qint64(0));
    QCOMPARE(server.bodyBytesSent(), qint64(0));

    const qint64 steps[] = {1, 999, 2500, 2501, 3999, 3999, 5000};   // ms after the response began
    for (qint64 elapsed : steps) {
        clockMs = 1000 + elapsed;
        const qint64 expected = std::min<qint64>(40000, PacedFileServer::allowedBytes(rate, elapsed));
        QTRY_COMPARE(client.bodyBytesSoFar(), expected);
        QTest::qWait(30);
        QCOMPARE(client.bodyBytesSoFar(), expected);
        QCOMPARE(server.bodyBytesSent(), expected);
    }
    Reply r;
    QVERIFY(client.read(r));
    QVERIFY(r.body == m_small.left(40000));

    // Idle for a minute, then a new request on the same connection: it starts
    // from nothing again.
    clockMs += 60000;
    const qint64 start = clockMs;
    client.get("/small.bin", "Range: bytes=100000-\r\n");
    QTRY_COMPARE(client.bodyBytesSoFar(), qint64(0));
    QTest::qWait(50);
    QCOMPARE(client.bodyBytesSoFar(), qint64(0));
    clockMs = start + 1500;
    QTRY_COMPARE(client.bodyBytesSoFar(), PacedFileServer::allowedBytes(rate, 1500));
    clockMs = start + 100000;
    QVERIFY(client.read(r));
    QVERIFY(r.body == m_small.mid(100000));
    QCOMPARE(server.connectionCount(), 1);
}

QTEST_GUILESS_MAIN(TestPacedServer)
#include "test_paced_server.moc"
