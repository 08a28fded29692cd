#include "core/winsock.h"
#include "engine/http_slot.h"
#include "engine/pack_plan.h"
#include "engine/work_file.h"
#include "support/test_http_server.h"
#include "support/test_files.h"

#include <QtTest>

using TestFiles::randomBytes;

using Faults = TestHttpServer::Faults;
Q_DECLARE_METATYPE(Faults)

namespace {

const QString kPath = QStringLiteral("/files/data.bin");

// Drives the plan as the slot crew does (more work after a run comes from the event loop), with a loopback server
// serving data (or another host) and every signal recorded.
class Harness : public QObject
{
public:
    Harness(const QByteArray &fileData, int slotTotal, const Faults &faults = {}, const QString &host = {},
            qint64 packSize = 1000)
        : data(fileData), plan(fileData.size(), packSize)
    {
        server.serveFile(data, faults);
        ok = dir.isValid() && (!host.isEmpty() || server.start()) && work.open(dir.filePath("final.zov"), data.size());
        plan.start(slotTotal);
        for (int n = 1; n <= slotTotal; ++n) {
            auto *socket = new Winsock;
            auto *slot = lanes.emplace_back(new HttpSlot(n, socket));
            socket->setParent(slot);
            slot->setTarget(host.isEmpty() ? server.hostPort() : host, kPath);
            slot->setPlan(&plan);
            slot->setWorkFile(&work);
            slot->setRetryDelay(5);
            slot->setStallTimeout(200);
            connect(slot, &HttpSlot::packCompleted, this, &Harness::onPackCompleted);
            connect(slot, &HttpSlot::packsRequested, this, [this](int s, qint64 k) { plan.commitThrough(s, k); });
            connect(slot, &HttpSlot::requestsDropped, this, [this](int s) { plan.uncommit(s); });
            connect(slot, &HttpSlot::bytesStored, this, [this](int s, qint64 count) {
                plan.addStored(s, count);
                stored[s] += count;
                if (onStored)
                    onStored(s);
            });
            connect(slot, &HttpSlot::packRestarted, this, [this](int s) { stored[s] = 0; plan.setStored(s, 0); });
            connect(slot, &HttpSlot::gaveUp, this, [this](int s) { gaveUp.append(s); });
            connect(slot, &HttpSlot::connectionError, this, [this](int, int number) { connectionErrors.append(number); });
            connect(slot, &HttpSlot::writeFailed, this,
                    [this](int, const QString &f, const QString &why) { writeFailures.append(f + ": " + why); });
            connect(slot, &HttpSlot::fileChanged, this, [this](int, const QString &why) { changes.append(why); });
            connect(slot, &HttpSlot::accessRefused, this, [this](int, const QString &why) { refusals.append(why); });
        }
    }
    ~Harness() override { qDeleteAll(lanes); }

    QString packPath(qint64 k) const { return dir.filePath(QStringLiteral("data(%1).zov").arg(k)); }
    QByteArray inFile(qint64 k) const { return TestFiles::read(work.path()).mid(plan.packStart(k), plan.packSize(k)); }
    HttpSlot &slot(int n) { return *lanes[n - 1]; }
    bool allIdle() const { return std::none_of(lanes.begin(), lanes.end(), [](HttpSlot *s) { return s->isBusy(); }); }

    // The crew's hand-out: the slot's current pack, or more work when its run is over.
    void give(int n)
    {
        const auto p = plan.next(n);
        p ? slot(n).setPack(p->number, p->start, p->size, p->stored) : slot(n).setIdle();
    }

    // Every pack listed holds exactly its bytes of the file.
    bool packsMatch(const QList<qint64> &packs) const
    {
        return std::all_of(packs.begin(), packs.end(), [&](qint64 k) {
            return inFile(k) == data.mid(plan.packStart(k), plan.packSize(k));
        });
    }

    QByteArray data;
    PackPlan plan;
    TestHttpServer server;
    QTemporaryDir dir;
    WorkFile work;
    bool ok = false;
    QList<HttpSlot *> lanes;
    bool takeMore = true;                   // an idle slot looks for more work
    QList<std::pair<int, qint64>> completed; // (slot, pack) in completion order
    QStringList wrongPacks;                 // completed with another size, or bytes not all in the file
    QHash<int, qint64> stored;              // bytes stored per slot
    QList<int> gaveUp, connectionErrors;
    QStringList writeFailures, changes, refusals;
    std::function<void(int)> onStored;

private:
    void onPackCompleted(int n, qint64 pack, qint64 size)
    {
        completed.append({n, pack});
        if (size != plan.packSize(pack) || inFile(pack) != data.mid(plan.packStart(pack), size))
            wrongPacks.append(packPath(pack));
        if (!plan.packDone(n) && takeMore)
            QMetaObject::invokeMethod(this, [this, n] { give(n); }, Qt::QueuedConnection);
    }
};

} // namespace

// Packs are 1000 bytes throughout.
class TestHttpSlot : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home;

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("ZOV_KESTRA_HOME", m_home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_home.path() + QStringLiteral("/config")).toUtf8());
    }

    void wholeFile_data()
    {
        QTest::addColumn<qint64>("fileSize");
        QTest::addColumn<Faults>("faults");
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("failures");
        QTest::newRow("multiple of the pack size, one write") << qint64(5000) << Faults{} << 1 << 0;
        QTest::newRow("short last pack, pieces across boundaries") << qint64(5500) << Faults{.bodyPiece = 333} << 1 << 0;
        QTest::newRow("file smaller than a pack") << qint64(700) << Faults{} << 1 << 0;
        QTest::newRow("header one byte at a time") << qint64(2500) << Faults{.headPiece = 1, .bodyPiece = 400} << 1 << 0;
        QTest::newRow("closed after part of the run")
            << qint64(5000) << Faults{.dropAfter = {{0, 2345}}, .bodyPiece = 700} << 2 << 1;
        QTest::newRow("stops sending without closing")
            << qint64(5000) << Faults{.stallAfter = {{0, 2345}}, .bodyPiece = 700} << 2 << 1;
        QTest::newRow("ranges shorter than asked") << qint64(5000) << Faults{.maxRangeLength = 1300, .bodyPiece = 700} << 4 << 0;
        QTest::newRow("closed right after the header")
            << qint64(5000) << Faults{.dropAfter = {{0, 0}}, .bodyPiece = 700} << 2 << 1;
        QTest::newRow("200 with the whole file") << qint64(5000) << Faults{.ignoreRange = true, .bodyPiece = 700} << 1 << 0;
    }

    void wholeFile()
    {
        QFETCH(qint64, fileSize);
        QFETCH(Faults, faults);
        QFETCH(int, requests);
        QFETCH(int, failures);
        Harness h(randomBytes(fileSize, 7), 1, faults);
        QVERIFY(h.ok);
        h.give(1);
        QTRY_VERIFY_WITH_TIMEOUT(h.allIdle(), 10000);

        QVERIFY(h.plan.allDone() && h.packsMatch(h.plan.donePacks()) && h.wrongPacks.isEmpty());
        QCOMPARE(h.completed.size(), h.plan.packCount());
        QCOMPARE(h.stored.value(1), fileSize);
        QCOMPARE(h.slot(1).failuresTotal(), failures);
        QCOMPARE(h.slot(1).writePosition(), qint64(0));
        // Idle between runs: the connection is kept for a later request.
        QCOMPARE(h.slot(1).socket()->State(), int(Winsock::sckConnected));

        // The run is asked for whole; after a failure the next request starts at the first byte not stored.
        const auto &asked = h.server.requests();
        QCOMPARE(asked.size(), requests);
        qint64 servedBefore = 0;
        for (const auto &s : h.server.served()) {
            QVERIFY(asked.at(s.request).header("Range").startsWith("bytes=" + QByteArray::number(servedBefore) + '-'));
            servedBefore += s.length;
        }
        QCOMPARE(servedBefore, fileSize);
        if (requests == 1)
            QCOMPARE(h.slot(1).connectionsOpened(), 1);
    }

    void resumedRunsAndRequestText_data()
    {
        QTest::addColumn<Faults>("faults");
        QTest::addColumn<int>("connections");
        QTest::addColumn<QString>("login");
        QTest::newRow("kept open") << Faults{} << 1 << "";
        QTest::newRow("server ends the idle connection silently") << Faults{.closeIdle = true} << 2 << "";
        QTest::newRow("server says Connection: close") << Faults{.connectionClose = true} << 2 << "";
        // Fault: "user:pw@" of the address sent in the Host line, or to the name lookup.
        QTest::newRow("login in the address") << Faults{} << 1 << "user:pw@";
    }

    void resumedRunsAndRequestText()
    {
        QFETCH(Faults, faults);
        QFETCH(int, connections);
        QFETCH(QString, login);
        Harness h(randomBytes(6000, 11), 1, faults);
        QVERIFY(h.ok);
        h.slot(1).setTarget(login + h.server.hostPort(), kPath);
        // A weak tag cannot guard a range: the date does.
        h.slot(1).setValidators("W/\"w1\"", "Sat, 05 Dec 2026 10:00:00 GMT", true);
        // Pack 0 whole already, 1 fresh, 3 partly stored (junk past its stored bytes), 4 fresh; 2 and 5 done: two runs.
        QVERIFY(h.work.write(3000, QByteArray(h.data.mid(3000, 300) + QByteArray(40, 'J')).constData(), 340));
        QVERIFY(h.work.write(0, h.data.constData(), 1000));
        h.plan.start(1, {{0, 1000}, {1, 0}, {3, 300}, {4, 0}});
        h.give(1);
        QTRY_VERIFY_WITH_TIMEOUT(h.allIdle() && h.plan.allDone(), 10000);

        QVERIFY(h.plan.allDone() && h.packsMatch({0, 1, 3, 4}));
        QVERIFY(h.completed.first().second == 0 && h.wrongPacks.isEmpty());
        QCOMPARE(h.stored.value(1), qint64(1000 + 700 + 1000));
        QCOMPARE(h.slot(1).failuresTotal(), 0);
        // The whole pack asked nothing.
        QCOMPARE(h.server.requests().size(), 2);
        QCOMPARE(h.server.connectionCount(), connections);
        QCOMPARE(h.server.requests().at(0).header("Range"), QByteArray("bytes=1000-1999"));
        const QByteArray expected = "GET " + kPath.toUtf8() + " HTTP/1.1\r\n"
            "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
            "Accept-Language: fr\r\n"
            "User-Agent: ZOV-Kestra-Download/2.0\r\n"
            "Range: bytes=3300-4999\r\n"
            "If-Range: Sat, 05 Dec 2026 10:00:00 GMT\r\n"
            "Host: " + h.server.hostPort().toUtf8() + "\r\n"
            + (login.isEmpty() ? "" : "Authorization: Basic " + QByteArray("user:pw").toBase64() + "\r\n")
            + "Connection: Keep-Alive\r\n\r\n";
        QCOMPARE(h.server.requests().at(1).raw, expected);
    }

    void badReplies_data()
    {
        // Fault: each reply below put wrong bytes (or none) into a run that starts at byte 2000. Most are a failed
        // attempt; those that say the server's file is another one, or refuse it to this request, stop the slot at once.
        const QByteArray data = randomBytes(4000, 9);
        const auto partial = [&](const QByteArray &span, const QByteArray &body, const QByteArray &tag = "ETag: \"v1\"") {
            return TestHttpServer::response(206, "Partial Content", {"Content-Range: bytes " + span, tag}, body);
        };
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("stop");   // 0: gives up after its attempts, 1: file changed, 2: refused
        QTest::newRow("206 starting elsewhere") << partial("0-1999/4000", data.left(2000)) << 0;
        QTest::newRow("206 chunked")
            << TestHttpServer::head(206, "Partial Content", {"Content-Range: bytes 2000-3999/4000",
                                                              "Transfer-Encoding: chunked", "Content-Length: 2000"})
                   + data.mid(2000) << 0;
        QTest::newRow("206 with a length that is not the range") << partial("2000-2999/4000", data.mid(2000)) << 0;
        QTest::newRow("server error") << TestHttpServer::response(503, "Busy", {}, "try later") << 0;
        QTest::newRow("no status line") << QByteArray("<html>\r\n\r\nhello</html>") << 0;
        QTest::newRow("404") << TestHttpServer::response(404, "Not Found", {"Content-Type: text/html"}, "<html/>") << 1;
        QTest::newRow("410") << TestHttpServer::response(410, "Gone", {}, "gone") << 1;
        QTest::newRow("416, the file shrank")
            << TestHttpServer::response(416, "Range Not Satisfiable", {"Content-Range: bytes */1500"}, {}) << 1;
        QTest::newRow("206 of another file size") << partial("2000-3999/5000", data.mid(2000)) << 1;
        QTest::newRow("206 with another tag") << partial("2000-3999/4000", data.mid(2000), "ETag: \"v2\"") << 1;
        QTest::newRow("whole file under If-Range") << TestHttpServer::response(200, "OK", {"ETag: \"v2\""}, data)
                                                   << 1;
        // Fault: a refusal (an expired session) retried as network trouble, then told as one.
        QTest::newRow("403") << TestHttpServer::response(403, "Forbidden", {}, "expired") << 2;
        QTest::newRow("401") << TestHttpServer::response(401, "Unauthorized", {}, "log in") << 2;
    }

    void badReplies()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, stop);
        const bool changed = stop != 0;
        // Slot 2 of two: its run is packs 2-3; slot 1 is not driven.
        Harness h(QByteArray(4000, 'x'), 2);
        QVERIFY(h.ok);
        h.slot(2).setValidators("\"v1\"", {}, true);
        h.server.setHandler([&](const TestRequest &, TestConnection *c) { c->send(reply).close(); });
        h.give(2);
        if (changed) {
            QTRY_COMPARE_WITH_TIMEOUT((stop == 2 ? h.refusals : h.changes).size(), 1, 10000);
            QCOMPARE(h.slot(2).failuresTotal(), 0);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(h.gaveUp, QList<int>{2}, 10000);
        }
        QCOMPARE(h.server.requests().size(), changed ? 1 : HttpSlot::MaxFailedAttempts);
        QCOMPARE(h.server.requests().last().header("If-Range"), QByteArray("\"v1\""));
        QVERIFY(h.stored.isEmpty() && h.inFile(2) == QByteArray(1000, '\0') && h.connectionErrors.isEmpty());
        QCOMPARE(h.slot(2).writePosition(), qint64(1));   // still on its pack, nothing counted
        QCOMPARE(h.slot(2).socket()->State(), int(Winsock::sckClosed));
    }

    void splitNeverCutsARequestInFlight()
    {
        // Faults: a split that takes packs already asked for; a slot that asks for its whole run near the end,
        // leaving nothing for a slot out of work. Slot 1 runs the first half of the packs (slot 2's half counts
        // as fetched); slot 2 looks for work at slot 1's first bytes: the server must send every byte once. With
        // 512000-byte packs slot 1 has asked for two of its eight; with 10,000-byte packs for fifteen of its
        // twenty, its share of what nobody had asked for. Either way slot 2 takes the last packs.
        for (const auto &[P, half] : {std::pair<qint64, qint64>{512000, 8}, {10000, 20}}) {
            Harness h(randomBytes(2 * half * P, 21), 2, {}, {}, P);
            QVERIFY(h.ok);
            h.takeMore = false;
            while (h.plan.packDone(2)) {
            }
            bool stolen = false;
            h.onStored = [&](int s) {
                if (s == 1 && !stolen) {
                    stolen = true;
                    h.give(2);
                }
            };
            h.give(1);
            QTRY_VERIFY_WITH_TIMEOUT(stolen && h.allIdle(), 20000);

            QList<qint64> run;
            for (qint64 k = 0; k < half; ++k)
                run.append(k);
            QVERIFY(h.plan.allDone() && h.packsMatch(run));
            QVERIFY(h.completed.contains({1, 0}));
            QVERIFY(h.completed.contains({2, half - 1}));
            qint64 served = 0;
            for (const auto &answer : h.server.served())
                served += answer.length;
            QCOMPARE(served, half * P);
            // The owner's connection survived the split and stays open for its next run.
            QCOMPARE(h.slot(1).connectionsOpened(), 1);
            QCOMPARE(h.slot(1).socket()->State(), int(Winsock::sckConnected));
            QCOMPARE(h.slot(1).failuresTotal() + h.slot(2).failuresTotal(), 0);
        }
    }

    void localWriteFailureIsNotRetried()
    {
        // Fault: a work file whose folder is gone retried as network trouble instead of told at once with the reason.
        Harness h(randomBytes(3000, 3), 1);
        QVERIFY(h.ok);
        WorkFile gone;
        QVERIFY(!gone.open(h.dir.filePath("gone/final.zov"), 3000));
        h.slot(1).setWorkFile(&gone);
        h.give(1);
        QTRY_COMPARE_WITH_TIMEOUT(h.writeFailures.size(), 1, 10000);
        QCOMPARE(h.writeFailures.first(), h.dir.filePath("gone/final.zov") + ": No such file or directory");
        QVERIFY(h.gaveUp.isEmpty() && h.slot(1).failuresTotal() == 0 && h.slot(1).requestsSent() == 1);
    }

    void connectionFailures()
    {
        // Fault: a server that drops every connection after one byte makes the failures count afresh for ever.
        Faults oneByte;
        for (int i = 0; i < 10; ++i)
            oneByte.dropAfter.insert(i, 1);
        Harness b(randomBytes(3000, 1), 1, oneByte);
        QVERIFY(b.ok);
        b.give(1);
        QTRY_COMPARE_WITH_TIMEOUT(b.gaveUp, QList<int>{1}, 10000);
        QCOMPARE(b.stored.value(1), qint64(HttpSlot::MaxFailedAttempts));

        // A port nobody listens on any more: refused every time, retried, then given up.
        Harness r(QByteArray(3000, 'x'), 1);
        QVERIFY(r.ok);
        r.server.stop();
        r.give(1);
        QTRY_COMPARE_WITH_TIMEOUT(r.gaveUp, QList<int>{1}, 10000);
        QCOMPARE(r.slot(1).connectionsOpened(), HttpSlot::MaxFailedAttempts);
        // Fault: the download's failure told without what the system said.
        QCOMPARE(r.slot(1).lastTrouble(), QString("Connection refused"));
        QCOMPARE(r.slot(1).requestsSent(), 0);
        QVERIFY(r.connectionErrors.isEmpty() && r.slot(1).isBusy());

        // Host not found: reported at once, no retry.
        Harness h(QByteArray(3000, 'x'), 1, {}, QStringLiteral("nohost.invalid"));
        h.give(1);
        QTRY_VERIFY_WITH_TIMEOUT(!h.connectionErrors.isEmpty(), 20000);
        QCOMPARE(h.connectionErrors, QList<int>{int(Winsock::sckHostNotFound)});
        QCOMPARE(h.slot(1).connectionsOpened(), 1);
        QCOMPARE(h.slot(1).socket()->State(), int(Winsock::sckClosed));
        QVERIFY(h.gaveUp.isEmpty() && h.slot(1).isBusy());
    }
};

QTEST_GUILESS_MAIN(TestHttpSlot)
#include "test_http_slot.moc"
