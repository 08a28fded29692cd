#include "app/winsock.h"
#include "display/formatters.h"
#include "engine/http_slot.h"
#include "engine/pack_file.h"
#include "engine/pack_plan.h"
#include "support/nginx_server.h"
#include "support/test_http_server.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

const QString kPath = QStringLiteral("/files/data.bin");

QByteArray fileBytes(qint64 size, quint32 seed = 7)
{
    QRandomGenerator gen(seed);
    QByteArray b(size, '\0');
    for (qint64 i = 0; i < size; ++i)
        b[i] = char(gen.bounded(256));
    return b;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// First and last byte of a request's Range header.
QPair<qint64, qint64> rangeOf(const TestRequest &r)
{
    const QByteArray v = r.header("Range").mid(6);
    const int dash = v.indexOf('-');
    return {v.left(dash).toLongLong(), v.mid(dash + 1).toLongLong()};
}

// Stands in for the download manager: owns the plan and the slots, registers
// finished packs in memory and hands out packs the way the manager does (next
// pack of the run inside packCompleted, then more work or idle).
class Harness : public QObject
{
public:
    Harness(const QString &host, const QString &dir, qint64 fileSize, qint64 packSize, int slotTotal)
        : plan(fileSize, packSize), m_dir(dir)
    {
        for (int n = 1; n <= slotTotal; ++n) {
            sockets.push_back(std::make_unique<Winsock>());
            auto slot = std::make_unique<HttpSlot>(n, sockets.back().get());
            slot->setTarget(host, kPath);
            slot->setPlan(&plan);
            slot->setPackFilePath([this](qint64 k) { return packPath(k); });
            slot->setRetryDelay(5);
            slot->setStallTimeout(300);
            connect(slot.get(), &HttpSlot::packCompleted, this, &Harness::onPackCompleted);
            connect(slot.get(), &HttpSlot::bytesStored, this, [this](int s, qint64 count) {
                plan.addStored(s, count);
                stored[s] += count;
                if (onStored)
                    onStored(s, count);
            });
            connect(slot.get(), &HttpSlot::statusChanged, this,
                    [this](int s, const QString &t) { statuses[s].append(t); });
            connect(slot.get(), &HttpSlot::dataStarted, this, [this](int s) { ++dataStarted[s]; });
            connect(slot.get(), &HttpSlot::gaveUp, this, [this](int s) { gaveUp.append(s); });
            connect(slot.get(), &HttpSlot::connectionError, this,
                    [this](int s, int number, const QString &) { connectionErrors.append({s, number}); });
            lanes.push_back(std::move(slot));
        }
    }

    QString packPath(qint64 k) const { return m_dir + QStringLiteral("/data(%1).zov").arg(k); }
    HttpSlot &slot(int n) { return *lanes[n - 1]; }

    // Demande_Paquet: the slot's current pack, or more work when its run is over.
    void give(int n)
    {
        int shortened = 0;
        const auto p = plan.next(n, &shortened);
        if (shortened)
            slot(shortened).runShortened();
        if (p)
            slot(n).setPack(p->number, p->start, p->size, p->stored);
        else
            slot(n).setIdle();
    }

    bool allIdle() const
    {
        for (const auto &s : lanes) {
            if (s->isBusy())
                return false;
        }
        return true;
    }

    // Every pack listed holds exactly its bytes of data.
    bool packsMatch(const QByteArray &data, const QList<qint64> &packs) const
    {
        for (qint64 k : packs) {
            if (readAll(packPath(k)) != data.mid(plan.packStart(k), plan.packSize(k))) {
                qWarning("pack %lld differs", k);
                return false;
            }
        }
        return true;
    }

    PackPlan plan;
    std::vector<std::unique_ptr<Winsock>> sockets;
    std::vector<std::unique_ptr<HttpSlot>> lanes;
    bool takeMore = true;                 // an idle slot looks for more work
    QStringList registerLines;            // the ":1" lines, in completion order
    QMap<qint64, int> completedBy;        // pack -> slot that completed it
    QHash<int, qint64> stored;            // bytes stored per slot
    QHash<int, QStringList> statuses;
    QHash<int, int> dataStarted;
    QList<int> gaveUp;
    QList<QPair<int, int>> connectionErrors;
    QStringList sizeMismatches;           // packs whose file did not have their size
    bool insideSetPack = false;
    bool completedInsideSetPack = false;
    std::function<void(int, qint64)> onStored;

private:
    void onPackCompleted(int n, qint64 pack, qint64 size, const QString &file)
    {
        completedInsideSetPack = completedInsideSetPack || insideSetPack;
        registerLines.append(file + QStringLiteral(":1"));
        completedBy[pack] = n;
        if (QFileInfo(file).size() != size)
            sizeMismatches.append(file);
        const auto p = plan.packDone(n);
        if (p)
            slot(n).setPack(p->number, p->start, p->size, p->stored);
        else if (takeMore)
            give(n);
        else
            slot(n).setIdle();
    }

    QString m_dir;
};

// The served answers' bytes lie end to end from 0 to size: nothing was fetched
// twice and nothing is missing.
bool servedTileFile(const QList<TestHttpServer::Served> &served, qint64 size)
{
    QList<QPair<qint64, qint64>> parts;
    for (const auto &s : served) {
        if (s.length > 0)
            parts.append({s.first, s.length});
    }
    std::sort(parts.begin(), parts.end());
    qint64 at = 0;
    for (const auto &p : parts) {
        if (p.first != at)
            return false;
        at += p.second;
    }
    return at == size;
}

} // namespace

class TestHttpSlot : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void packFile();
    void runOverOneRequest_data();
    void runOverOneRequest();
    void resumedPacksAndRequestText();
    void runsOnKeptOpenConnection_data();
    void runsOnKeptOpenConnection();
    void headerOneByteAtATime();
    void refusedReplies_data();
    void refusedReplies();
    void surplusDropped_data();
    void surplusDropped();
    void brokenAttempts_data();
    void brokenAttempts();
    void runCutShortMidPack();
    void stopInsideSignalThenResume();
    void connectionFailures();
    void fourSlotsAgainstNginx();

private:
    QTemporaryDir m_home;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestHttpSlot::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("ZOV_KESTRA_HOME", m_home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (m_home.path() + QStringLiteral("/config")).toUtf8());
}

void TestHttpSlot::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestHttpSlot::packFile()
{
    const QString path = m_dir->filePath(QStringLiteral("p.zov"));
    PackFile f;
    QVERIFY(f.open(path, 0));
    QVERIFY(f.write("hello ") && f.write(QByteArray("world")));
    QCOMPARE(f.position(), qint64(11));
    f.close();
    QCOMPARE(readAll(path), QByteArray("hello world"));

    // Continuing at 6 keeps "hello " and cuts what was after it.
    QVERIFY(f.open(path, 6));
    QCOMPARE(readAll(path), QByteArray("hello "));
    QVERIFY(f.write("there"));
    f.close();
    QCOMPARE(readAll(path), QByteArray("hello there"));

    // A file shorter than the position would leave a gap: refused, untouched.
    QVERIFY(!f.open(path, 50));
    QVERIFY(!f.isOpen());
    QVERIFY(!f.write("x"));
    QCOMPARE(readAll(path), QByteArray("hello there"));
    QVERIFY(!f.open(m_dir->filePath(QStringLiteral("missing/p.zov")), 0));
}

void TestHttpSlot::runOverOneRequest_data()
{
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<qint64>("packSize");
    QTest::addColumn<int>("bodyPiece");
    QTest::newRow("multiple of the pack size, one write") << qint64(5000) << qint64(1000) << 0;
    QTest::newRow("short last pack, pieces across boundaries") << qint64(5500) << qint64(1000) << 333;
    QTest::newRow("7-byte pieces") << qint64(2100) << qint64(700) << 7;
    QTest::newRow("file smaller than a pack") << qint64(700) << qint64(1000) << 0;
}

void TestHttpSlot::runOverOneRequest()
{
    QFETCH(qint64, fileSize);
    QFETCH(qint64, packSize);
    QFETCH(int, bodyPiece);
    const QByteArray data = fileBytes(fileSize);
    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpServer::Faults faults;
    faults.bodyPiece = bodyPiece;
    server.serveFile(data, faults);

    Harness h(server.hostPort(), m_dir->path(), fileSize, packSize, 1);
    h.plan.start(1);
    h.give(1);
    QTRY_VERIFY_WITH_TIMEOUT(h.allIdle(), 10000);

    QCOMPARE(h.slot(1).requestsSent(), 1);
    QCOMPARE(h.slot(1).connectionsOpened(), 1);
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(rangeOf(server.requests().first()), qMakePair(qint64(0), fileSize - 1));
    QVERIFY(h.plan.allDone());
    QVERIFY(h.packsMatch(data, h.plan.donePacks()));
    QVERIFY(h.sizeMismatches.isEmpty());
    QCOMPARE(h.stored.value(1), fileSize);
    QCOMPARE(h.slot(1).failuresTotal(), 0);
    QStringList expected;
    for (qint64 k = 0; k < h.plan.packCount(); ++k)
        expected.append(h.packPath(k) + QStringLiteral(":1"));
    QCOMPARE(h.registerLines, expected);
    QCOMPARE(h.slot(1).Paquet_Taille, qint64(0));
    QCOMPARE(h.slot(1).Paquet_Recu, qint64(0));
    // Idle between runs: the connection is kept for a later request.
    QCOMPARE(h.slot(1).socket()->State(), int(Winsock::sckConnected));
    QCOMPARE(h.dataStarted.value(1), 1);
    QCOMPARE(h.statuses[1].first(), QStringLiteral("Sending request..."));
    QVERIFY(h.statuses[1].contains(QStringLiteral("Downloading (") + Format_Taille(h.plan.packSize(0))
                                   + QStringLiteral(")...")));
}

void TestHttpSlot::resumedPacksAndRequestText()
{
    // Pack 0 whole already, pack 1 fresh, pack 3 partly stored (with junk past
    // its stored bytes), pack 4 fresh; packs 2 and 5 done.
    const qint64 P = 1000;
    const QByteArray data = fileBytes(6000, 11);
    TestHttpServer server;
    QVERIFY(server.start());
    server.serveFile(data);

    Harness h(server.hostPort(), m_dir->path(), data.size(), P, 1);
    QFile part(h.packPath(3));
    QVERIFY(part.open(QIODevice::WriteOnly));
    part.write(data.mid(3000, 300) + QByteArray(40, 'J'));
    part.close();
    QFile whole(h.packPath(0));
    QVERIFY(whole.open(QIODevice::WriteOnly));
    whole.write(data.mid(0, 1000));
    whole.close();

    h.plan.start(1, {{0, 1000}, {1, 0}, {3, 300}, {4, 0}});
    QCOMPARE(h.plan.runEnd(1), qint64(2));
    h.insideSetPack = true;
    h.give(1);
    h.insideSetPack = false;
    QTRY_VERIFY_WITH_TIMEOUT(h.allIdle(), 10000);

    QVERIFY(!h.completedInsideSetPack);
    QVERIFY(h.plan.allDone());
    QCOMPARE(h.registerLines.first(), h.packPath(0) + QStringLiteral(":1"));
    QVERIFY(h.packsMatch(data, {0, 1, 3, 4}));
    QVERIFY(h.sizeMismatches.isEmpty());
    QCOMPARE(h.stored.value(1), qint64(1000 + 700 + 1000));

    // The whole pack asked nothing; the two runs went over one connection.
    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(h.slot(1).connectionsOpened(), 1);
    QCOMPARE(h.slot(1).requestsSent(), 2);
    const QByteArray expected = "GET " + kPath.toUtf8() + " HTTP/1.1\r\n"
        "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
        "Accept-Language: fr\r\n"
        "User-Agent: Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)\r\n"
        "Range: bytes=3300-4999\r\n"
        "Host: " + server.hostPort().toUtf8() + "\r\n"
        "Connection: Keep-Alive\r\n\r\n";
    QCOMPARE(server.requests().at(1).raw, expected);
    QCOMPARE(h.slot(1).Txt_Sended, expected);
    QCOMPARE(rangeOf(server.requests().at(0)), qMakePair(qint64(1000), qint64(1999)));
    QVERIFY(h.slot(1).Entete_Lu);
    QVERIFY(h.slot(1).Txt_Recu.startsWith("HTTP/1.1 206"));
    QVERIFY(h.slot(1).Txt_Recu.contains("Content-Range: bytes 3300-4999/6000"));
    QVERIFY(!h.slot(1).Txt_Recu.contains("\r\n\r\n"));
}

void TestHttpSlot::runsOnKeptOpenConnection_data()
{
    QTest::addColumn<bool>("closeIdle");
    QTest::addColumn<bool>("connectionClose");
    QTest::addColumn<int>("connections");
    QTest::newRow("kept open") << false << false << 1;
    QTest::newRow("server ends the idle connection silently") << true << false << 2;
    QTest::newRow("server says Connection: close") << false << true << 2;
}

void TestHttpSlot::runsOnKeptOpenConnection()
{
    QFETCH(bool, closeIdle);
    QFETCH(bool, connectionClose);
    QFETCH(int, connections);
    const QByteArray data = fileBytes(6000, 3);
    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpServer::Faults faults;
    faults.closeIdle = closeIdle;
    faults.connectionClose = connectionClose;
    server.serveFile(data, faults);

    // Two groups: packs 0-2 for the slot, packs 4-5 waiting; pack 3 is done.
    Harness h(server.hostPort(), m_dir->path(), data.size(), 1000, 1);
    h.plan.start(1, {{0, 0}, {1, 0}, {2, 0}, {4, 0}, {5, 0}});
    h.give(1);
    QTRY_VERIFY_WITH_TIMEOUT(h.allIdle(), 10000);

    QVERIFY(h.plan.allDone());
    QVERIFY(h.packsMatch(data, {0, 1, 2, 4, 5}));
    QCOMPARE(h.slot(1).failuresTotal(), 0);
    QVERIFY(h.gaveUp.isEmpty());
    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(server.connectionCount(), connections);
    QCOMPARE(h.slot(1).connectionsOpened(), connections);
    QCOMPARE(rangeOf(server.requests().at(1)), qMakePair(qint64(4000), qint64(5999)));
}

void TestHttpSlot::headerOneByteAtATime()
{
    const QByteArray data = fileBytes(2500, 5);
    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpServer::Faults faults;
    faults.headPiece = 1;
    faults.bodyPiece = 400;
    server.serveFile(data, faults);

    Harness h(server.hostPort(), m_dir->path(), data.size(), 1000, 1);
    int arrivals = 0;
    connect(h.slot(1).socket(), &Winsock::DataArrival, this, [&]() { ++arrivals; });
    h.plan.start(1);
    h.give(1);
    QTRY_VERIFY_WITH_TIMEOUT(h.allIdle(), 10000);
    // The header really came in many pieces.
    QVERIFY2(arrivals > 20, qPrintable(QString::number(arrivals)));

    QVERIFY(h.plan.allDone());
    QVERIFY(h.packsMatch(data, {0, 1, 2}));
    QCOMPARE(h.slot(1).failuresTotal(), 0);
    QCOMPARE(h.slot(1).Txt_Recu,
             TestHttpServer::head(206, "Partial Content",
                                  {"Content-Type: application/octet-stream", "Accept-Ranges: bytes",
                                   "Content-Range: bytes 0-2499/2500", "Content-Length: 2500"})
                 .chopped(4));
}

void TestHttpSlot::refusedReplies_data()
{
    // Every reply below would put wrong bytes (or none at all) into the pack
    // files of a run that starts at byte 2000.
    const QByteArray data = fileBytes(4000, 9);
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("closeAfter");
    QTest::newRow("200 for a range not at 0")
        << TestHttpServer::response(200, "OK", {}, data) << false;
    QTest::newRow("206 starting elsewhere")
        << TestHttpServer::response(206, "Partial Content", {"Content-Range: bytes 0-1999/4000"},
                                    data.left(2000)) << false;
    QTest::newRow("206 without Content-Length")
        << TestHttpServer::head(206, "Partial Content", {"Content-Range: bytes 2000-3999/4000"})
               + data.mid(2000) << true;
    QTest::newRow("206 chunked")
        << TestHttpServer::head(206, "Partial Content", {"Content-Range: bytes 2000-3999/4000",
                                                         "Transfer-Encoding: chunked",
                                                         "Content-Length: 2000"})
               + data.mid(2000) << false;
    QTest::newRow("206 of another file size")
        << TestHttpServer::response(206, "Partial Content", {"Content-Range: bytes 2000-3999/5000"},
                                    data.mid(2000)) << false;
    QTest::newRow("206 with a length that is not the range")
        << TestHttpServer::response(206, "Partial Content", {"Content-Range: bytes 2000-2999/4000"},
                                    data.mid(2000)) << false;
    QTest::newRow("404 page")
        << TestHttpServer::response(404, "Not Found", {"Content-Type: text/html"},
                                    "<html>not here</html>") << false;
    QTest::newRow("no status line")
        << QByteArray("<html>\r\n\r\nhello</html>") << true;
}

void TestHttpSlot::refusedReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, closeAfter);
    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([&](const TestRequest &, TestConnection *c) {
        c->send(reply);
        if (closeAfter)
            c->close();
    });

    // Slot 2 of two: its run is packs 2-3; slot 1 is not driven.
    Harness h(server.hostPort(), m_dir->path(), 4000, 1000, 2);
    h.plan.start(2);
    h.give(2);
    QTRY_COMPARE_WITH_TIMEOUT(h.gaveUp, QList<int>{2}, 10000);
    QTest::qWait(50);

    QCOMPARE(h.gaveUp, QList<int>{2});
    QCOMPARE(h.slot(2).failedAttempts(), HttpSlot::MaxFailedAttempts);
    QCOMPARE(h.slot(2).requestsSent(), HttpSlot::MaxFailedAttempts);
    QCOMPARE(server.requests().size(), HttpSlot::MaxFailedAttempts);
    QCOMPARE(rangeOf(server.requests().last()), qMakePair(qint64(2000), qint64(3999)));
    QVERIFY(h.stored.isEmpty());
    QVERIFY(!QFile::exists(h.packPath(2)));
    QVERIFY(!QFile::exists(h.packPath(3)));
    QVERIFY(h.registerLines.isEmpty());
    // Still on its pack, connection closed.
    QCOMPARE(h.slot(2).Paquet_Numero, qint64(2));
    QCOMPARE(h.slot(2).Paquet_Recu, qint64(1));
    QCOMPARE(h.slot(2).socket()->State(), int(Winsock::sckClosed));
    QVERIFY(h.connectionErrors.isEmpty());
}

void TestHttpSlot::surplusDropped_data()
{
    QTest::addColumn<bool>("ignoreRange");
    QTest::addColumn<qint64>("extraBytes");
    QTest::addColumn<qint64>("silentAfter");   // body bytes the server sends before going quiet; -1: all
    QTest::addColumn<bool>("takeMore");
    QTest::newRow("200 whole file for a run at 0") << true << qint64(0) << qint64(-1) << false;
    QTest::newRow("200 whole file, rest pending") << true << qint64(0) << qint64(2100) << false;
    QTest::newRow("206 past the asked end") << false << qint64(1500) << qint64(-1) << false;
    QTest::newRow("206 past the asked end, rest pending") << false << qint64(1500) << qint64(2001) << false;
    // After its run the slot takes pack 3 from slot 2: the reply's bytes
    // 2000-2999 must not go into it.
    QTest::newRow("206 past the asked end, then a pack further on")
        << false << qint64(1500) << qint64(-1) << true;
}

void TestHttpSlot::surplusDropped()
{
    QFETCH(bool, ignoreRange);
    QFETCH(qint64, extraBytes);
    QFETCH(qint64, silentAfter);
    QFETCH(bool, takeMore);
    const QByteArray data = fileBytes(4000, 13);
    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpServer::Faults faults;
    faults.ignoreRange = ignoreRange;
    faults.extraBytes = extraBytes;
    if (silentAfter >= 0)
        faults.stallAfter.insert(0, silentAfter);
    server.serveFile(data, faults);

    // Slot 1's run is packs 0-1 of four; it takes nothing more.
    Harness h(server.hostPort(), m_dir->path(), data.size(), 1000, 2);
    h.takeMore = takeMore;
    h.plan.start(2);
    h.give(1);
    QTRY_VERIFY_WITH_TIMEOUT(!h.slot(1).isBusy(), 10000);

    QVERIFY(!QFile::exists(h.packPath(2)));
    QCOMPARE(rangeOf(server.requests().first()), qMakePair(qint64(0), qint64(1999)));
    if (takeMore) {
        QVERIFY(h.packsMatch(data, {0, 1, 3}));
        QCOMPARE(h.stored.value(1), qint64(3000));
        QCOMPARE(server.requests().size(), 2);
        QCOMPARE(rangeOf(server.requests().at(1)), qMakePair(qint64(3000), qint64(3999)));
        QCOMPARE(h.slot(1).failuresTotal(), 0);
        return;
    }
    QVERIFY(h.packsMatch(data, {0, 1}));
    QCOMPARE(h.stored.value(1), qint64(2000));
    if (silentAfter >= 0) {
        // The rest of the reply is not wanted: the slot closes at once instead
        // of reading on (or waiting for it until the stall deadline).
        QCOMPARE(h.slot(1).socket()->State(), int(Winsock::sckClosed));
        QTest::qWait(h.slot(1).stallTimeout() + 100);
    }
    QCOMPARE(h.slot(1).failuresTotal(), 0);
    QCOMPARE(h.slot(1).requestsSent(), 1);
}

void TestHttpSlot::brokenAttempts_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("failures");
    QTest::newRow("closed after part of the run") << 0 << 1;
    QTest::newRow("stops sending without closing") << 1 << 1;
    QTest::newRow("404 for one request") << 2 << 1;
    QTest::newRow("ranges shorter than asked") << 3 << 0;
    QTest::newRow("closed right after the header") << 4 << 1;
}

void TestHttpSlot::brokenAttempts()
{
    QFETCH(int, kind);
    QFETCH(int, failures);
    const QByteArray data = fileBytes(5000, 17);
    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpServer::Faults faults;
    faults.bodyPiece = 700;
    switch (kind) {
    case 0: faults.dropAfter.insert(0, 2345); break;
    case 1: faults.stallAfter.insert(0, 2345); break;
    case 2: faults.notFound.append(0); break;
    case 3: faults.maxRangeLength = 1300; break;
    case 4: faults.dropAfter.insert(0, 0); break;
    }
    server.serveFile(data, faults);

    Harness h(server.hostPort(), m_dir->path(), data.size(), 1000, 1);
    h.slot(1).setStallTimeout(200);
    h.plan.start(1);
    h.give(1);
    QTRY_VERIFY_WITH_TIMEOUT(h.allIdle(), 10000);

    QVERIFY(h.plan.allDone());
    QVERIFY(h.packsMatch(data, h.plan.donePacks()));
    QCOMPARE(h.slot(1).failuresTotal(), failures);
    QCOMPARE(h.slot(1).failedAttempts(), 0);
    QVERIFY(h.gaveUp.isEmpty());
    // No stored byte was asked for again: the answers lie end to end, and each
    // request starts where the bytes stored before it end.
    QVERIFY(servedTileFile(server.served(), data.size()));
    qint64 storedBefore = 0;
    for (const auto &s : server.served()) {
        QCOMPARE(rangeOf(server.requests().at(s.request)).first, storedBefore);
        storedBefore += s.length;
    }
    QCOMPARE(h.stored.value(1), qint64(data.size()));
}

void TestHttpSlot::runCutShortMidPack()
{
    const QByteArray data = fileBytes(8000, 21);
    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpServer::Faults faults;
    faults.bodyPiece = 250;
    faults.pieceDelayMs = 1;
    server.serveFile(data, faults);

    // Slot 1 runs packs 0-3; slot 2's run (4-7) counts as fetched already, so
    // slot 2 is idle and takes the upper half of slot 1's run once slot 1 has
    // its first bytes.
    Harness h(server.hostPort(), m_dir->path(), data.size(), 1000, 2);
    h.takeMore = false;
    h.plan.start(2);
    while (h.plan.packDone(2)) {
    }
    bool stolen = false;
    qint64 ownerStoredAtSteal = -1;
    h.onStored = [&](int s, qint64) {
        if (s == 1 && !stolen) {
            stolen = true;
            ownerStoredAtSteal = h.slot(1).Paquet_Recu - 1;
            h.give(2);
        }
    };
    h.give(1);
    QTRY_VERIFY_WITH_TIMEOUT(stolen && h.allIdle(), 10000);

    // The run was cut while its owner was inside pack 0.
    QVERIFY(ownerStoredAtSteal > 0 && ownerStoredAtSteal < 1000);
    QVERIFY(h.plan.allDone());
    QVERIFY(h.packsMatch(data, {0, 1, 2, 3}));
    QCOMPARE(h.completedBy.value(0), 1);
    QCOMPARE(h.completedBy.value(1), 1);
    QCOMPARE(h.completedBy.value(2), 2);
    QCOMPARE(h.completedBy.value(3), 2);
    QCOMPARE(h.stored.value(1), qint64(2000));
    QCOMPARE(h.stored.value(2), qint64(2000));
    QCOMPARE(h.slot(1).requestsSent(), 1);
    QCOMPARE(h.slot(2).requestsSent(), 1);
    // The owner stopped reading its reply at the new boundary.
    QCOMPARE(h.slot(1).socket()->State(), int(Winsock::sckClosed));
    QCOMPARE(h.slot(1).failuresTotal() + h.slot(2).failuresTotal(), 0);
}

void TestHttpSlot::stopInsideSignalThenResume()
{
    const QByteArray data = fileBytes(4000, 23);
    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpServer::Faults faults;
    faults.bodyPiece = 300;
    faults.pieceDelayMs = 1;
    server.serveFile(data, faults);

    Harness h(server.hostPort(), m_dir->path(), data.size(), 1000, 1);
    h.plan.start(1);
    bool paused = false;
    h.onStored = [&](int, qint64) {
        if (!paused && h.stored.value(1) >= 1500) {
            paused = true;
            h.slot(1).stop();
        }
    };
    h.give(1);
    QTRY_VERIFY_WITH_TIMEOUT(paused, 10000);
    const qint64 atPause = h.stored.value(1);
    QTest::qWait(100);
    // Nothing more arrives; the pack variables stay.
    QCOMPARE(h.stored.value(1), atPause);
    QCOMPARE(h.slot(1).socket()->State(), int(Winsock::sckClosed));
    QCOMPARE(h.slot(1).Paquet_Numero, qint64(1));
    QCOMPARE(h.slot(1).Paquet_Recu, atPause - 1000 + 1);
    QCOMPARE(QFileInfo(h.packPath(1)).size(), atPause - 1000);

    // Resume: the pack goes on from its stored bytes.
    h.slot(1).resetFailures();
    h.slot(1).setPack(1, 1000, 1000, atPause - 1000);
    QTRY_VERIFY_WITH_TIMEOUT(h.allIdle(), 10000);
    QVERIFY(h.plan.allDone());
    QVERIFY(h.packsMatch(data, {0, 1, 2, 3}));
    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(rangeOf(server.requests().at(1)), qMakePair(atPause, qint64(3999)));
}

void TestHttpSlot::connectionFailures()
{
    // A port nobody listens on: refused every time, retried, then given up.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const QString refused = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
    probe.close();
    {
        Harness h(refused, m_dir->path(), 3000, 1000, 1);
        h.plan.start(1);
        h.give(1);
        QTRY_COMPARE_WITH_TIMEOUT(h.gaveUp, QList<int>{1}, 10000);
        QCOMPARE(h.slot(1).connectionsOpened(), HttpSlot::MaxFailedAttempts);
        QCOMPARE(h.slot(1).requestsSent(), 0);
        QVERIFY(h.connectionErrors.isEmpty());
        QVERIFY(h.slot(1).isBusy());
    }
    // Host not found: reported at once, no retry.
    {
        Harness h(QStringLiteral("nohost.invalid"), m_dir->path(), 3000, 1000, 1);
        h.plan.start(1);
        h.give(1);
        QTRY_VERIFY_WITH_TIMEOUT(!h.connectionErrors.isEmpty(), 20000);
        QTest::qWait(100);
        QCOMPARE(h.connectionErrors, (QList<QPair<int, int>>{{1, int(Winsock::sckHostNotFound)}}));
        QCOMPARE(h.slot(1).connectionsOpened(), 1);
        QVERIFY(h.gaveUp.isEmpty());
        QCOMPARE(h.slot(1).socket()->State(), int(Winsock::sckClosed));
        QVERIFY(h.slot(1).isBusy());
    }
}

void TestHttpSlot::fourSlotsAgainstNginx()
{
    if (!QFile::exists(QStringLiteral("/usr/sbin/nginx")))
        QSKIP("nginx is not installed");
    // 13 packs and a short one for four slots: runs of 4, 3, 3, 3, and idle
    // slots taking parts of the runs still going.
    const qint64 P = 512000;
    const QByteArray data = fileBytes(13 * P + 4321, 31);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QDir().mkpath(root.filePath(QStringLiteral("files")));
    QFile f(root.filePath(QStringLiteral("files/data.bin")));
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(data) == data.size());
    f.close();
    NginxServer nginx;
    QVERIFY2(nginx.start(root.path()), qPrintable(nginx.lastError()));

    Harness h(nginx.hostPort(), m_dir->path(), data.size(), P, 4);
    h.plan.start(4);
    for (int n = 1; n <= 4; ++n)
        h.give(n);
    QTRY_VERIFY_WITH_TIMEOUT(h.allIdle(), 60000);

    QVERIFY(h.plan.allDone());
    QVERIFY(h.sizeMismatches.isEmpty());
    QCryptographicHash joined(QCryptographicHash::Sha256);
    for (qint64 k = 0; k < h.plan.packCount(); ++k)
        joined.addData(readAll(h.packPath(k)));
    QCOMPARE(joined.result(), QCryptographicHash::hash(data, QCryptographicHash::Sha256));
    int requests = 0;
    for (int n = 1; n <= 4; ++n) {
        QCOMPARE(h.slot(n).failuresTotal(), 0);
        requests += h.slot(n).requestsSent();
    }
    // One request per run, not one per pack.
    QVERIFY(requests < h.plan.packCount());
    QCOMPARE(h.registerLines.size(), int(h.plan.packCount()));
}

QTEST_GUILESS_MAIN(TestHttpSlot)
#include "test_http_slot.moc"
