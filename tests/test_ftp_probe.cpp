#include "core/program_folder.h"
#include "core/settings.h"
#include "engine/url_probe.h"
#include "support/ftp_server.h"
#include "support/test_http_server.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

const QString kUnable = QStringLiteral("Error: Unable to use the high speed download method on this server !");
const QString kFtpError =
    QStringLiteral("Error: Unable to use the high speed download method on this server or file not found !");
const QString kNotFile = QStringLiteral("Error: File not found or the URL don't point on a file !");
const qint64 kPackSetting = 2048000;

// What the probe reported, in order: "size N" or "title: text", then "finished".
QStringList runProbe(UrlProbe &probe, const QString &url, ProbeResult *result = nullptr)
{
    QStringList events;
    QObject ctx;
    QObject::connect(&probe, &UrlProbe::succeeded, &ctx, [&](const ProbeResult &r) {
        events << QStringLiteral("size %1").arg(r.fileSize);
        if (result)
            *result = r;
    });
    QObject::connect(&probe, &UrlProbe::failed, &ctx,
                     [&](const QString &title, const QString &text) { events << title + ": " + text; });
    QObject::connect(&probe, &UrlProbe::finished, &ctx, [&]() { events << QStringLiteral("finished"); });
    probe.start(url);
    (void)QTest::qWaitFor([&]() { return events.contains(QStringLiteral("finished")); }, 60000);
    QTest::qWait(30); // room for a second report, which would be a fault
    return events;
}

} // namespace

class TestFtpProbe : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_home;

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("ZOV_KESTRA_HOME", m_home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_home.path() + QStringLiteral("/config")).toUtf8());
        QVERIFY(QDir().mkpath(ProgramFolder::projectsDir()));
        Settings::write(QStringLiteral("packsize"), kPackSetting);
    }

    void realServer()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        for (const auto &[name, size] : {std::pair{"/f.bin", 1234567}, std::pair{"/README", 5}}) {
            QFile f(root.path() + name);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(size, 'k')) == size);
        }
        FtpServer ftp;
        QVERIFY2(ftp.start(root.path()), qPrintable(ftp.lastError()));

        UrlProbe probe;
        ProbeResult r;
        QCOMPARE(runProbe(probe, ftp.baseUrl() + "/f.bin", &r), QStringList({"size 1234567", "finished"}));
        QVERIFY(probe.Test_Link_FTP);
        QVERIFY(r.ftp);
        QCOMPARE(r.url, ftp.hostPort() + "/f.bin");
        QCOMPARE(r.projectName, QStringLiteral("f"));
        QCOMPARE(r.fileName, QStringLiteral("f.bin"));
        QVERIFY(r.rangesSupported);
        QCOMPARE(r.packSize, kPackSetting);
        // 550 for a file that is not there; a size known but no base name to take.
        QCOMPARE(runProbe(probe, ftp.baseUrl() + "/missing.bin"), QStringList({kFtpError, "finished"}));
        QCOMPARE(runProbe(probe, ftp.baseUrl() + "/README"), QStringList({kUnable, "finished"}));
        QVERIFY(QDir(ProgramFolder::projectsDir()).isEmpty());
    }

    // The five commands go out at once, without waiting for the greeting, and
    // "QUIT" follows whether the SIZE reply or Timer_Test_FTP decided.
    void commandBatch_data()
    {
        QTest::addColumn<bool>("answer");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("answered after the whole batch") << true << "size 77";
        QTest::newRow("no decisive reply") << false << kNotFile;
    }

    void commandBatch()
    {
        QFETCH(bool, answer);
        QFETCH(QString, outcome);
        TestHttpServer server;
        QByteArray received;
        server.setConnectHandler([&](TestConnection *c) {
            c->send("220 test server ready\r\n");
            QObject::connect(c->socket(), &QTcpSocket::readyRead, c, [&, c]() {
                // No request header ever ends, so the connection keeps every byte.
                const bool batchIn = !received.contains("REST 10\r\n") && c->pending().contains("REST 10\r\n");
                received = c->pending();
                if (answer && batchIn)
                    c->send("331 ok\r\n230 in\r\n200 binary\r\n213 77\r\n350 restart\r\n");
            });
        });
        QVERIFY(server.start());
        UrlProbe probe;
        auto *testFtp = probe.findChild<QTimer *>(QStringLiteral("Timer_Test_FTP"));
        QVERIFY(testFtp);
        QCOMPARE(testFtp->interval(), 3000);
        testFtp->setInterval(answer ? 3000 : 300);
        QCOMPARE(runProbe(probe, "ftp://" + server.hostPort() + "/dir/x.iso"),
                 QStringList({outcome, "finished"}));
        const QByteArray password = UrlProbe::AnonymousPassword;
        QVERIFY(password.size() == 7 && password.contains('@'));
        QTRY_COMPARE(received,
                     "User anonymous\r\nPass " + password + "\r\nTYPE I\r\nSIZE /dir/x.iso\r\nREST 10\r\nQUIT\r\n");
    }

    // A server that sends each piece 40 ms after the previous one, whatever it is asked.
    void scriptedReplies_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QString>("outcome");
        const QByteArray login = "220 test server ready\r\n331 ok\r\n230 in\r\n200 binary\r\n";
        QTest::newRow("beyond 2 GiB") << QList<QByteArray>{login, "213 6000000000\r\n"} << "size 6000000000";
        QTest::newRow("trailing text") << QList<QByteArray>{login, "213 4096 bytes\r\n"} << "size 4096";
        QTest::newRow("split reply") << QList<QByteArray>{login, "21", "3 40", "96\r\n"} << "size 4096";
        QTest::newRow("not a number") << QList<QByteArray>{login, "213 unknown\r\n"} << kUnable;
        QTest::newRow("too large") << QList<QByteArray>{login, "213 99999999999999999999\r\n"} << kUnable;
        QTest::newRow("530 log-in refused") << QList<QByteArray>{"220 ready\r\n", "530 Login incorrect.\r\n"}
                                            << kFtpError;
        QTest::newRow("greeting holds 500") << QList<QByteArray>{"220 Welcome, at most 500 users at once\r\n",
                                                                 "331 ok\r\n230 in\r\n200 binary\r\n213 10\r\n"}
                                            << kFtpError;
    }

    void scriptedReplies()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QString, outcome);
        TestHttpServer server;
        server.setConnectHandler([&](TestConnection *c) {
            for (const QByteArray &p : pieces)
                c->pause(40).send(p);
        });
        QVERIFY(server.start());
        UrlProbe probe;
        QCOMPARE(runProbe(probe, "ftp://" + server.hostPort() + "/s.bin"), QStringList({outcome, "finished"}));
    }
};

QTEST_GUILESS_MAIN(TestFtpProbe)
#include "test_ftp_probe.moc"
