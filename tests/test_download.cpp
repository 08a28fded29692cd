// Whole downloads through the engine against a real nginx on loopback: the
// queue, the pack plan, the four slots, the register, assembly and completion.
#include "core/text_file.h"
#include "core/winsock.h"
#include "view/download_view.h"
#include "engine/http_slot.h"
#include "support/engine_bench.h"
#include "support/nginx_server.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

constexpr qint64 P = 512000;

class TestDownload : public QObject
{
    Q_OBJECT
private:
    EngineBench m_bench;
    NginxServer m_nginx;
    QString dest() const { return m_bench.dest(); }

    QByteArray addProject(DownloadManager &e, const QString &name, qint64 size, const QString &host)
    {
        e.queue().load();
        return m_bench.serve(e, name, size, host);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_bench.setUp(P));
        QVERIFY2(m_nginx.start(m_bench.www()), qPrintable(m_nginx.lastError()));
    }

    void cleanupTestCase() { m_nginx.stop(); }

    void sizesAroundThePackSize_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("plan");
        QTest::newRow("empty") << qint64(0) << "0 times 500.00 Kb";
        QTest::newRow("1 byte") << qint64(1) << "0 times 500.00 Kb and 1 Bytes";
        QTest::newRow("P-1") << P - 1 << "0 times 500.00 Kb and 500.00 Kb";
        QTest::newRow("P") << P << "1 times 500.00 Kb";
        QTest::newRow("P+1") << P + 1 << "1 times 500.00 Kb and 1 Bytes";
        QTest::newRow("2P+R") << qint64(1048576) << "2 times 500.00 Kb and 24.00 Kb";
        QTest::newRow("20 MB") << qint64(20 * 1000 * 1000 + 333) << "39 times 500.00 Kb and 31.58 Kb";
    }

    void sizesAroundThePackSize()
    {
        QFETCH(qint64, size);
        QFETCH(QString, plan);
        const QString name = QStringLiteral("s%1").arg(size);
        DownloadManager e;
        DownloadView view;
        view.follow(e);
        const QByteArray data = addProject(e, name, size, m_nginx.hostPort());
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        QVERIFY(e.queue().startNow(name));
        QCOMPARE(view.display().label("Lbl_Paquet"), plan);
        QCOMPARE(view.display().label("Lbl_Status_B"), QString("Downloading..."));
        for (int n = 1; n <= 4; ++n) // an idle slot never holds a socket
            QVERIFY(e.download()->slot(n).isBusy() || e.download()->slot(n).socket()->State() == 0);
        QVERIFY(finished.wait(60000));
        QCOMPARE(finished.first().at(1).toString(), dest() + name + ".bin");
        QCOMPARE(sha256(TextFile::read(dest() + name + ".bin")), sha256(data));
        // Finished: status 2, listed as finished, working folder gone, every pack registered once, statistics
        // written, the queue going on.
        QVERIFY(e.store().readProjectFile(name).endsWith("status:2\r\n"));
        QCOMPARE(e.store().finished().last().name, name);
        QVERIFY(!e.store().current() && !QDir(dest() + name).exists() && !e.isDownloading());
        const QString folder = m_bench.home() + "/projects/" + name;
        QCOMPARE(TextFile::read(folder + "/download.zov").count(":1\r\n"), (size + P - 1) / P);
        const QByteArray stats = TextFile::read(folder + "/stats.zov");
        QVERIFY(stats.startsWith("Time:") && stats.count("\r\n") == 4);
        QVERIFY(e.queue().isTicking());
    }

    // Catches a pause that loses or refetches stored bytes, a pack in progress not noted ":0" (or noted twice, or left
    // noted after the resume), a request sent while paused, a resumed request that does not start right after the
    // stored bytes, and an average-speed clock that counts the pause (or breaks across midnight).
    void pauseAndResumeKeepWhatIsStored()
    {
        // A rate-limited server keeps all four packs in flight long enough.
        NginxServer slow;
        slow.setRateLimit(100000);
        QVERIFY2(slow.start(m_bench.www()), qPrintable(slow.lastError()));
        // A request sent by hand marks a moment on nginx's own clock (when nginx read it; -1: never).
        const auto mark = [&slow](const QByteArray &path) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, slow.port());
            if (s.waitForConnected(5000) && s.write("GET " + path + " HTTP/1.0\r\n\r\n") > 0)
                s.waitForDisconnected(5000);
            qint64 at = -1;
            const bool logged = QTest::qWaitFor([&] {
                for (const NginxServer::LogRecord &r : slow.accessLog())
                    at = r.request.contains(path) ? r.startMs : at;
                return at >= 0;
            }, 5000);
            return logged ? at : qint64(-1);
        };
        DownloadManager e;
        DownloadView view;
        view.follow(e);
        double clock = 86000;   // seconds since midnight, 400 s before it
        e.setClock([&clock] { return clock; });
        const QByteArray data = addProject(e, "paused", 4 * P - 1000, slow.hostPort());
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        QVERIFY(e.queue().startNow("paused"));
        QTRY_VERIFY_WITH_TIMEOUT(e.status().received > P / 4 && e.download()->speed().isStarted(), 20000);
        QCOMPARE(e.download()->speed().startedAt(), 86000);

        QList<qint64> resumeAt; // where each pack in progress continues
        const auto pause = [&](double at) {
            clock = at;
            resumeAt.clear();
            for (int n = 1; n <= 4; ++n)
                if (e.download()->slot(n).isBusy())
                    resumeAt.append(e.download()->plan().runFirstMissingByte(n));
            e.actionClicked();
            return e.isPaused() && view.display().label("Cmd_Action") + view.display().label("Lbl_Status_B") == "ResumePause..."
                   && TextFile::read(e.download()->files().registerPath()).count(":0\r\n") == resumeAt.size();
        };
        const auto resume = [&](double at) {
            clock = at;
            e.actionClicked();
            return !e.isPaused() && view.display().label("Cmd_Action") == "Pause"
                   && !TextFile::read(e.download()->files().registerPath()).contains(":0\r\n");
        };
        QVERIFY(pause(86390));
        QCOMPARE(resumeAt.size(), 4);
        // Paused over a few ticks of the progress timer: no request of the engine may start between the two marks.
        const qint64 pausedFrom = mark("/mark-1");
        QSignalSpy ticks(&e, &DownloadManager::statusChanged);
        QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= 2, 5000);
        const qint64 pausedTo = mark("/mark-2");
        QVERIFY(pausedFrom >= 0 && pausedTo >= pausedFrom);
        const QList<qint64> firstResume = resumeAt;
        // Resumed 15 s later, after midnight: the start moves on by 15 s.
        const qint64 resumedWith = e.status().received;
        QVERIFY(resume(5));
        QCOMPARE(e.download()->speed().startedAt(), 86000 - 86400 + 15);
        QTRY_VERIFY_WITH_TIMEOUT(e.status().received > resumedWith + P / 8, 20000);
        QVERIFY(pause(10));
        QVERIFY(resume(20));
        QCOMPARE(e.download()->speed().startedAt(), 86000 - 86400 + 25);
        QVERIFY(finished.wait(60000));
        QCOMPARE(sha256(TextFile::read(dest() + "paused.bin")), sha256(data));
        // nginx logs a finished request before it reads the next one: so is every request of the download.
        QVERIFY(mark("/mark-3") >= 0);
        qint64 bodyBytesSent = 0;
        QList<qint64> resumedFrom;
        for (const NginxServer::LogRecord &r : slow.accessLog()) {
            if (!r.request.contains("/paused.bin"))
                continue;
            bodyBytesSent += r.bodyBytesSent;
            QVERIFY2(r.startMs <= pausedFrom || r.startMs >= pausedTo, r.request.constData());
            if (r.startMs >= pausedTo)
                resumedFrom.append(r.rangeFirst);
        }
        for (qint64 at : firstResume)
            QVERIFY2(resumedFrom.contains(at), qPrintable(QString::number(at)));
        // Each pause costs at most what was in flight, far from a pack per slot.
        QVERIFY2(bodyBytesSent < data.size() + P, qPrintable(QString::number(bodyBytesSent)));
        slow.stop();
    }
};

QTEST_GUILESS_MAIN(TestDownload)
#include "test_download.moc"
