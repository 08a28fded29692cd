// FTP downloads end to end against a real FTP server (pyftpdlib) on loopback,
// well-behaved and misbehaving: passive and active data connections, pause,
// close and resume, refused log-ins, vanished files, refused REST, ignored ABOR.
#include "core/text_file.h"
#include "core/winsock.h"
#include "engine/transfer_slot.h"
#include "view/download_view.h"
#include "support/engine_bench.h"
#include "support/ftp_server.h"

#include <QtTest>

constexpr qint64 P = 100000;

// A server's options, the project's log-in ("user:password@"), a file removed before the start, the end expected
// (None: the file ends exact).
struct FtpCase
{
    qint64 size; bool activeFirst; QStringList server; QString login{}; bool missing = false;
    DownloadFailure failure = DownloadFailure::None;
};
Q_DECLARE_METATYPE(FtpCase)

class TestFtp : public QObject
{
    Q_OBJECT
    EngineBench m_bench;
    QString dest() const { return m_bench.dest(); }

    // A program folder of its own for each case, set before the engine is made: a project one case leaves in
    // progress does not hold up the next.
    void useHome(const QString &name)
    {
        qputenv("ZOV_KESTRA_HOME", (m_bench.home() + "-" + name).toUtf8());
        QDir().mkpath(m_bench.home() + "-" + name + "/projects");
    }
    // An FTP project for www/name on server; the bytes served.
    QByteArray addProject(DownloadManager &e, const QString &name, qint64 size, const FtpServer &server,
                          const QString &login = {})
    {
        e.queue().load();
        e.setSlotTimeouts(3000, 10);
        return m_bench.serve(e, name, size, login + server.hostPort(), true);
    }

private slots:
    void initTestCase() { QVERIFY(m_bench.setUp(P)); }

    // Catches a data connection made one way only (EPSV, PASV or PORT), no
    // fall-back when the server refuses the first kind, a pack boundary
    // written wrong, slot 4 used, and a transfer that never ends; a slot that
    // waits silently on a refusal, retries a file that is gone, stores bytes
    // from the wrong offset when REST is refused, or lets bytes sent after ABOR
    // into a pack.
    void downloads_data()
    {
        QTest::addColumn<FtpCase>("c");
        const auto row = [](const char *name, const FtpCase &c) { QTest::newRow(name) << c; };
        row("1 byte, EPSV", {1, false, {}});
        row("P, active only", {P, true, {"--no-passive"}});
        // Fault: an active data connection taken from an address other than the server's (its bytes stored).
        row("active, from another address", {P, true, {"--no-passive", "--active-from=127.0.0.5"}, {}, false,
                                             DownloadFailure::Network});
        row("2P+R, active refused", {2 * P + 777, true, {"--no-active"}});
        row("10 MB, PASV", {(10 << 20) + 3, false, {"--no-epsv"}});
        row("log-in refused", {30 * P + 11, false, {"--user=zk:secret"}, {}, false, DownloadFailure::Network});
        row("user and password", {30 * P + 11, false, {"--user=zk:s@c"}, "zk:s%40c@"});
        // Fault: a stored address (not probed) whose password sends "DELE x" as a command of its own.
        row("line break in the password", {P, false, {}, "bob:pw%0d%0aDELE%20x@", false, DownloadFailure::ServerChanged});
        row("550 to RETR", {30 * P + 11, false, {}, {}, true, DownloadFailure::ServerChanged});
        row("REST refused", {30 * P + 11, false, {"--refuse-rest"}});
        row("ABOR ignored", {30 * P + 11, false, {"--ignore-abor"}});
    }

    void downloads()
    {
        QFETCH(FtpCase, c);
        const auto &[size, activeFirst, server, login, missing, failure] = c;
        FtpServer ftp;
        QVERIFY2(ftp.start(m_bench.www(), server), qPrintable(ftp.lastError()));
        Settings::write("FtpActive", activeFirst ? "1" : "0");
        const QString name = QString(QTest::currentDataTag()).remove(QRegularExpression("\\W"));
        useHome(name);
        DownloadManager e;
        DownloadView view;
        view.follow(e);
        const QByteArray data = addProject(e, name, size, ftp, login);
        if (missing)
            QVERIFY(QFile::remove(m_bench.www() + name + ".bin"));
        QSignalSpy failed(&e, &DownloadManager::downloadFailed);
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        QVERIFY(e.queue().startNow(name));
        QCOMPARE(view.display().label("Lbl_Status_w4"), QString("Unused with FTP servers."));
        if (failure == DownloadFailure::None) {
            QVERIFY(finished.wait(60000));
            QCOMPARE(sha256(TestFiles::read(dest() + name + ".bin")), sha256(data));
            QVERIFY(failed.isEmpty());
        } else {
            QVERIFY(failed.wait(30000));
            QCOMPARE(failed.first().first().value<DownloadFailure>(), failure);
            QVERIFY(e.isPaused() && e.download()->plan().storedBytes() == 0);
        }
        QCOMPARE(e.download()->slot(4).connectionsOpened(), 0);
    }

    // Catches an FTP pause that leaves a session open or a pack un-noted, a
    // resume that fetches stored bytes again or writes them at the wrong
    // place, and a close whose project the next start cannot finish.
    void pauseCloseAndResume()
    {
        FtpServer ftp;
        QVERIFY2(ftp.start(m_bench.www(), {"--throttle=150000"}), qPrintable(ftp.lastError()));
        QByteArray data;
        useHome("paused");
        {
            DownloadManager e;
            data = addProject(e, "paused", 12 * P + 5, ftp);
            QVERIFY(e.queue().startNow("paused"));
            QTRY_VERIFY_WITH_TIMEOUT(e.status().received > 2 * P, 20000);
            e.actionClicked();
            QVERIFY(e.isPaused());
            int busy = 0;
            for (int n = 1; n <= 3; ++n) {
                busy += e.download()->slot(n).isBusy() ? 1 : 0;
                QCOMPARE(e.download()->slot(n).socket()->State(), int(Winsock::sckClosed));
            }
            QCOMPARE(TextFile::read(e.download()->files().registerPath()).count(":0\r\n"), busy);
            const qint64 atPause = e.status().received;
            e.actionClicked();
            QTRY_VERIFY_WITH_TIMEOUT(e.status().received > atPause + P, 20000);
            e.shutdown();
        }
        DownloadManager e;
        e.queue().load();
        e.setSlotTimeouts(3000, 10);
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        e.queue().resume();
        QVERIFY(e.isDownloading() && e.download()->plan().storedBytes() > 2 * P);
        QVERIFY(finished.wait(60000));
        QCOMPARE(sha256(TestFiles::read(dest() + "paused.bin")), sha256(data));
    }

};

QTEST_GUILESS_MAIN(TestFtp)
#include "test_ftp.moc"
