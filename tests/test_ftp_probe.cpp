#include "app/program_folder.h"
#include "app/settings.h"
#include "engine/url_probe.h"
#include "support/ftp_server.h"
#include "support/test_http_server.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

const QString kUnable = QStringLiteral("Unable to use the high speed download method on this server !");
const QString kFtpError =
    QStringLiteral("Unable to use the high speed download method on this server or file not found !");
const QString kNotFile = QStringLiteral("File not found or the URL don't point on a file !");
const qint64 kPackSetting = 2048000;

struct Outcome
{
    int succeeded = 0;
    int failed = 0;
    int finished = 0;
    ProbeResult result;
    QString title;
    QString text;
};

Outcome runProbe(UrlProbe &probe, const QString &url)
{
    Outcome o;
    QObject ctx;
    QObject::connect(&probe, &UrlProbe::succeeded, &ctx, [&](const ProbeResult &r) {
        ++o.succeeded;
        o.result = r;
    });
    QObject::connect(&probe, &UrlProbe::failed, &ctx, [&](const QString &title, const QString &text) {
        ++o.failed;
        o.title = title;
        o.text = text;
    });
    QObject::connect(&probe, &UrlProbe::finished, &ctx, [&]() { ++o.finished; });
    probe.start(url);
    QDeadlineTimer deadline(60000);
    while (o.finished == 0 && !deadline.hasExpired())
        QTest::qWait(5);
    QTest::qWait(30);
    return o;
}

bool writeFile(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    return f.write(QByteArray(int(size), 'k')) == size;
}

// An in-test FTP server: greets on connect, then answers each complete command
// line through the reply function (an empty reply sends nothing).
struct ScriptedFtp
{
    TestHttpServer server;
    QByteArray greeting = "220 test server ready\r\n";
    std::function<QByteArray(const QByteArray &command)> reply;
    QList<QByteArray> commands;

    bool start()
    {
        server.setConnectHandler([this](TestConnection *c) {
            c->send(greeting);
            auto consumed = std::make_shared<int>(0);
            QObject::connect(c->socket(), &QTcpSocket::readyRead, c, [this, c, consumed]() {
                // TestConnection keeps what it read (no request header ever ends).
                const QByteArray all = c->pending();
                int end;
                while ((end = all.indexOf("\r\n", *consumed)) >= 0) {
                    const QByteArray line = all.mid(*consumed, end - *consumed);
                    *consumed = end + 2;
                    commands.append(line);
                    const QByteArray answer = reply ? reply(line) : QByteArray();
                    if (!answer.isEmpty())
                        c->send(answer);
                }
            });
        });
        return server.start();
    }
    QString baseUrl() const { return QStringLiteral("ftp://") + server.hostPort(); }
};

} // namespace

class TestFtpProbe : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void realServer();
    void commandBatch();
    void sizeReplies_data();
    void sizeReplies();
    void greetingWithErrorCode();
    void noDecisiveReply();

private:
    QTemporaryDir m_home;
};

void TestFtpProbe::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("ZOV_KESTRA_HOME", m_home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (m_home.path() + QStringLiteral("/config")).toUtf8());
    QVERIFY(QDir().mkpath(ProgramFolder::projectsDir()));
    Settings::write(QStringLiteral("packsize"), kPackSetting);
}

void TestFtpProbe::realServer()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(writeFile(root.path() + QStringLiteral("/f.bin"), 1234567));
    QVERIFY(writeFile(root.path() + QStringLiteral("/pub/a.tar.gz"), 10));
    QVERIFY(writeFile(root.path() + QStringLiteral("/README"), 5));
    FtpServer ftp;
    QVERIFY2(ftp.start(root.path()), qPrintable(ftp.lastError()));

    const QStringList before = QDir(ProgramFolder::projectsDir()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    UrlProbe probe;
    Outcome o = runProbe(probe, ftp.baseUrl() + QStringLiteral("/f.bin"));
    QCOMPARE(o.failed, 0);
    QCOMPARE(o.succeeded, 1);
    QCOMPARE(o.finished, 1);
    QCOMPARE(o.result.ftp, true);
    QVERIFY(probe.Test_Link_FTP);
    QCOMPARE(o.result.fileSize, qint64(1234567));
    QCOMPARE(o.result.url, ftp.hostPort() + QStringLiteral("/f.bin"));
    QCOMPARE(o.result.projectName, QStringLiteral("f"));
    QCOMPARE(o.result.fileName, QStringLiteral("f.bin"));
    QCOMPARE(o.result.rangesSupported, true);
    QCOMPARE(o.result.packSize, kPackSetting);

    o = runProbe(probe, ftp.baseUrl() + QStringLiteral("/pub/a.tar.gz"));
    QCOMPARE(o.succeeded, 1);
    QCOMPARE(o.result.fileSize, qint64(10));
    QCOMPARE(o.result.projectName, QStringLiteral("a"));

    // 550 for a file that is not there.
    o = runProbe(probe, ftp.baseUrl() + QStringLiteral("/missing.bin"));
    QCOMPARE(o.succeeded, 0);
    QCOMPARE(o.failed, 1);
    QCOMPARE(o.title, QStringLiteral("Error"));
    QCOMPARE(o.text, kFtpError);

    // The size is known but no base name can be taken.
    o = runProbe(probe, ftp.baseUrl() + QStringLiteral("/README"));
    QCOMPARE(o.failed, 1);
    QCOMPARE(o.text, kUnable);

    QCOMPARE(QDir(ProgramFolder::projectsDir()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), before);
    QVERIFY(ftp.isRunning());
}

void TestFtpProbe::commandBatch()
{
    ScriptedFtp ftp;
    ftp.reply = [](const QByteArray &cmd) -> QByteArray {
        // Answer only once the whole batch is in, the way a slow server would.
        if (cmd.startsWith("REST"))
            return "331 ok\r\n230 in\r\n200 binary\r\n213 77\r\n350 restart\r\n";
        return {};
    };
    QVERIFY(ftp.start());
    UrlProbe probe;
    const Outcome o = runProbe(probe, ftp.baseUrl() + QStringLiteral("/dir/x.iso"));
    QCOMPARE(o.succeeded, 1);
    QCOMPARE(o.result.fileSize, qint64(77));
    QTRY_VERIFY(ftp.commands.size() >= 6);
    QCOMPARE(ftp.commands.at(0), QByteArray("User anonymous"));
    QVERIFY(ftp.commands.at(1).startsWith("Pass "));
    const QByteArray password = ftp.commands.at(1).mid(5);
    QCOMPARE(password.size(), 7);
    QVERIFY(password.contains('@'));
    QCOMPARE(ftp.commands.at(2), QByteArray("TYPE I"));
    QCOMPARE(ftp.commands.at(3), QByteArray("SIZE /dir/x.iso"));
    QCOMPARE(ftp.commands.at(4), QByteArray("REST 10"));
    QCOMPARE(ftp.commands.at(5), QByteArray("QUIT"));
    QCOMPARE(ftp.commands.size(), 6);
}

void TestFtpProbe::sizeReplies_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("message");

    QTest::newRow("plain") << QList<QByteArray>{"213 4096\r\n"} << true << qint64(4096) << QString();
    QTest::newRow("beyond 2 GiB") << QList<QByteArray>{"213 6000000000\r\n"} << true
                                  << qint64(6000000000LL) << QString();
    QTest::newRow("trailing text") << QList<QByteArray>{"213 4096 bytes\r\n"} << true << qint64(4096)
                                   << QString();
    QTest::newRow("split reply") << QList<QByteArray>{"21", "3 40", "96\r\n"} << true << qint64(4096)
                                 << QString();
    QTest::newRow("not a number") << QList<QByteArray>{"213 unknown\r\n"} << false << qint64(0) << kUnable;
    QTest::newRow("too large") << QList<QByteArray>{"213 99999999999999999999\r\n"} << false << qint64(0)
                               << kUnable;
    QTest::newRow("550") << QList<QByteArray>{"550 No such file.\r\n"} << false << qint64(0) << kFtpError;
    QTest::newRow("530 log-in refused") << QList<QByteArray>{"530 Login incorrect.\r\n"} << false
                                        << qint64(0) << kFtpError;
}

void TestFtpProbe::sizeReplies()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(bool, ok);
    QFETCH(qint64, size);
    QFETCH(QString, message);

    ScriptedFtp ftp;
    QVERIFY(ftp.start());
    ftp.server.setConnectHandler([&](TestConnection *c) {
        c->send(ftp.greeting + "331 ok\r\n230 in\r\n200 binary\r\n");
        for (const QByteArray &p : pieces)
            c->pause(40).send(p);
    });
    UrlProbe probe;
    const Outcome o = runProbe(probe, ftp.baseUrl() + QStringLiteral("/s.bin"));
    QCOMPARE(o.succeeded, ok ? 1 : 0);
    QCOMPARE(o.failed, ok ? 0 : 1);
    QCOMPARE(o.finished, 1);
    if (ok)
        QCOMPARE(o.result.fileSize, size);
    else
        QCOMPARE(o.text, message);
}

void TestFtpProbe::greetingWithErrorCode()
{
    ScriptedFtp ftp;
    ftp.greeting = "220 Welcome, at most 500 users at once\r\n";
    ftp.reply = [](const QByteArray &cmd) -> QByteArray {
        return cmd.startsWith("SIZE") ? QByteArray("213 10\r\n") : QByteArray();
    };
    QVERIFY(ftp.start());
    UrlProbe probe;
    const Outcome o = runProbe(probe, ftp.baseUrl() + QStringLiteral("/f.bin"));
    QCOMPARE(o.succeeded, 0);
    QCOMPARE(o.failed, 1);
    QCOMPARE(o.text, kFtpError);
}

void TestFtpProbe::noDecisiveReply()
{
    ScriptedFtp ftp;
    QVERIFY(ftp.start());
    UrlProbe probe;
    auto *testFtp = probe.findChild<QTimer *>(QStringLiteral("Timer_Test_FTP"));
    QVERIFY(testFtp);
    QCOMPARE(testFtp->interval(), 3000);
    testFtp->setInterval(300);
    const Outcome o = runProbe(probe, ftp.baseUrl() + QStringLiteral("/f.bin"));
    QCOMPARE(o.failed, 1);
    QCOMPARE(o.text, kNotFile);
    QTRY_VERIFY(ftp.commands.contains("QUIT"));
}

QTEST_GUILESS_MAIN(TestFtpProbe)
#include "test_ftp_probe.moc"
