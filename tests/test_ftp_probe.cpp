#include "core/program_folder.h"
#include "core/settings.h"
#include "engine/url_probe.h"
#include "support/ftp_server.h"
#include "support/test_http_server.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kUnable = QStringLiteral("Unable to use the high speed download method on this server !");
const QString kFtpError = QStringLiteral("Unable to use the high speed download method on this server or file not found !");
const QString kNotFile = QStringLiteral("File not found or the URL don't point on a file !");

// "size name" of a success or the message of a failure; "N reports" when not exactly one.
QString runProbe(UrlProbe &probe, const QString &url, ProbeResult *result = nullptr)
{
    QStringList reports;
    QObject ctx;
    QObject::connect(&probe, &UrlProbe::succeeded, &ctx, [&](const ProbeResult &r) {
        reports << QStringLiteral("%1 %2").arg(r.fileSize).arg(r.projectName);
        if (result)
            *result = r;
    });
    QObject::connect(&probe, &UrlProbe::failed, &ctx, [&](const QString &, const QString &text) { reports << text; });
    QSignalSpy finished(&probe, &UrlProbe::finished);
    probe.start(url);
    if (finished.isEmpty())
        finished.wait(60000);
    return reports.size() == 1 && finished.size() == 1 ? reports.first() : QStringLiteral("%1 reports").arg(reports.size());
}

} // namespace

class TestFtpProbe : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home;

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("ZOV_KESTRA_HOME", m_home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_home.path() + QStringLiteral("/config")).toUtf8());
        QVERIFY(QDir().mkpath(ProgramFolder::projectsDir()));
        Settings::write(QStringLiteral("packsize"), 2048000);
    }

    // Fault: the probe misreads a real server (pyftpdlib), its 550, or a name
    // with an escape; it writes a file.
    void realServer()
    {
        QTemporaryDir root;
        for (const auto &[name, size] : {std::pair{"/f.bin", 1234567}, std::pair{"/README", 5}, std::pair{"/a b.bin", 9}}) {
            QFile f(root.path() + name);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(size, 'k')) == size);
        }
        FtpServer ftp;
        QVERIFY2(ftp.start(root.path()), qPrintable(ftp.lastError()));
        UrlProbe probe;
        ProbeResult r;
        QCOMPARE(runProbe(probe, ftp.baseUrl() + "/f.bin", &r), "1234567 f");
        QVERIFY(r.ftp && r.rangesSupported && r.etag.isEmpty());
        QCOMPARE(r.url, ftp.hostPort() + "/f.bin");
        QCOMPARE(r.packSize, qint64(2048000));
        QCOMPARE(runProbe(probe, ftp.baseUrl() + "/a b.bin", &r), "9 a%20b");
        QCOMPARE(r.url, ftp.hostPort() + "/a%20b.bin");
        QCOMPARE(runProbe(probe, ftp.baseUrl() + "/missing.bin"), kFtpError);
        QCOMPARE(runProbe(probe, ftp.baseUrl() + "/README"), kUnable); // no base name
        QVERIFY(QDir(ProgramFolder::projectsDir()).isEmpty());
    }

    // A scripted server; "@" in a piece stands for the greeting and log-in
    // replies. Each piece goes out 40 ms after the previous one, whatever the
    // probe sent. "SIZE" and "QUIT" are checked on what the server received.
    void scriptedReplies_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("beyond 2 GiB") << "/dir/x.iso" << QList<QByteArray>{"@", "213 6000000000\r\n"} << "6000000000 x";
        QTest::newRow("trailing text") << "/s.bin" << QList<QByteArray>{"@", "213 4096 bytes\r\n"} << "4096 s";
        QTest::newRow("split reply") << "/s.bin" << QList<QByteArray>{"@", "21", "3 40", "96\r\n"} << "4096 s";
        QTest::newRow("not a number") << "/s.bin" << QList<QByteArray>{"@", "213 unknown\r\n"} << kUnable;
        QTest::newRow("too large") << "/s.bin" << QList<QByteArray>{"@", "213 99999999999999999999\r\n"} << kUnable;
        QTest::newRow("530 log-in refused") << "/s.bin" << QList<QByteArray>{"220 ready\r\n", "530 No.\r\n"} << kFtpError;
        QTest::newRow("greeting holds 500") << "/s.bin" << QList<QByteArray>{"220 at most 500 users\r\n", "213 10\r\n"}
                                            << kFtpError;
        // Fault: an escaped line break decoded into a command of its own.
        QTest::newRow("escaped line break") << "/a%0D%0ADELE%20x.bin" << QList<QByteArray>{"@"} << kNotFile;
        QTest::newRow("no decisive reply") << "/s.bin" << QList<QByteArray>{"@"} << kNotFile;
    }

    void scriptedReplies()
    {
        QFETCH(QString, path);
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QString, outcome);
        TestHttpServer server;
        QByteArray received;
        bool gone = false;
        server.setConnectHandler([&](TestConnection *c) {
            QObject::connect(c, &TestConnection::disconnected, c, [&] { gone = true; });
            for (const QByteArray &p : pieces)
                c->pause(40).send(p == "@" ? "220 ready\r\n331 ok\r\n230 in\r\n200 binary\r\n" : p);
            // No request header ever ends, so the connection keeps every byte.
            QObject::connect(c->socket(), &QTcpSocket::readyRead, c, [&, c] { received = c->pending(); });
        });
        QVERIFY(server.start());
        UrlProbe probe;
        probe.findChild<QTimer *>(QStringLiteral("Timer_Test_FTP"))->setInterval(outcome == kNotFile ? 300 : 3000);
        QCOMPARE(runProbe(probe, "ftp://" + server.hostPort() + path), outcome);
        QTRY_VERIFY(gone);
        if (path.contains('%'))
            QCOMPARE(received, QByteArray());
        else // the whole batch at once, without waiting for the greeting, then QUIT
            QCOMPARE(received, "User anonymous\r\nPass " + QByteArray(UrlProbe::AnonymousPassword)
                                       + "\r\nTYPE I\r\nSIZE " + path.toUtf8() + "\r\nREST 10\r\nQUIT\r\n");
    }
};

QTEST_GUILESS_MAIN(TestFtpProbe)
#include "test_ftp_probe.moc"
