#include "app/program_folder.h"
#include "app/settings.h"
#include "app/winsock.h"
#include "engine/http_parse.h"
#include "engine/url_helpers.h"
#include "engine/url_probe.h"
#include "support/nginx_server.h"
#include "support/test_http_server.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

const QString kUnable = QStringLiteral("Unable to use the high speed download method on this server !");
const QString kNotFile = QStringLiteral("File not found or the URL don't point on a file !");
const QString kSocketError = QStringLiteral("An error occured while connecting to website !\r\n"
                                            "Please check your Internet connection or retry later !");
const QString kNoAnswer = QStringLiteral("Unable to connect to website !\r\n");
const qint64 kPackSetting = 1024000;

// Everything one probe run signalled.
struct Outcome
{
    int succeeded = 0;
    int failed = 0;
    int finished = 0;
    bool endBeforeFinished = true;
    ProbeResult result;
    QString title;
    QString text;
    QStringList urlTexts;
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
    QObject::connect(&probe, &UrlProbe::urlTextChanged, &ctx,
                     [&](const QString &t) { o.urlTexts.append(t); });
    QObject::connect(&probe, &UrlProbe::finished, &ctx, [&]() {
        ++o.finished;
        o.endBeforeFinished = o.endBeforeFinished && o.succeeded + o.failed == 1;
    });
    probe.start(url);
    QDeadlineTimer deadline(60000);
    while (o.finished == 0 && !deadline.hasExpired())
        QTest::qWait(5);
    // Anything signalled late would show up here.
    QTest::qWait(30);
    return o;
}

QStringList projectsListing()
{
    return QDir(ProgramFolder::projectsDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

QByteArray randomBytes(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char(QRandomGenerator::global()->bounded(256));
    return b;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

class TestUrlProbe : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void controls();
    void schemeAndFtpDetection();
    void acceptedFile_data();
    void acceptedFile();
    void refusedHeader_data();
    void refusedHeader();
    void redirections_data();
    void redirections();
    void redirectionLoopEnds();
    void redirectionToAnotherServer();
    void headerInPieces();
    void noAnswer();
    void connectionRefused();
    void nameClash();
    void realNginx();

private:
    QTemporaryDir m_home;
};

void TestUrlProbe::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("ZOV_KESTRA_HOME", m_home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (m_home.path() + QStringLiteral("/config")).toUtf8());
    QVERIFY(QDir().mkpath(ProgramFolder::projectsDir()));
    Settings::write(QStringLiteral("packsize"), kPackSetting);
    QCOMPARE(Settings::packSize(), kPackSetting);
}

void TestUrlProbe::controls()
{
    UrlProbe probe;
    auto *socket = probe.findChild<Winsock *>(QStringLiteral("Winsock"));
    QVERIFY(socket);
    QCOMPARE(socket, probe.probeSocket());
    auto *timeout = probe.findChild<QTimer *>(QStringLiteral("Timer_Timeout"));
    auto *testFtp = probe.findChild<QTimer *>(QStringLiteral("Timer_Test_FTP"));
    QVERIFY(timeout && testFtp);
    QCOMPARE(timeout->interval(), 20000);
    QCOMPARE(testFtp->interval(), 3000);
    QVERIFY(!timeout->isActive());
    QVERIFY(!testFtp->isActive());
}

// What the probe takes from the address before any connection. The probe is
// destroyed before the event loop runs, so nothing goes on the network.
void TestUrlProbe::schemeAndFtpDetection()
{
    struct Case {
        QString url;
        bool ftp;
        QString host;
        QString path;
        QString kept;
    };
    const QList<Case> cases = {
        {QStringLiteral("http://h/d/f.zip"), false, QStringLiteral("h"), QStringLiteral("/d/f.zip"),
         QStringLiteral("h/d/f.zip")},
        {QStringLiteral("ftp.h/f.bin"), true, QStringLiteral("ftp.h"), QStringLiteral("/f.bin"),
         QStringLiteral("ftp.h/f.bin")},
        {QStringLiteral("FTP://h/f.bin"), true, QStringLiteral("h"), QStringLiteral("/f.bin"),
         QStringLiteral("h/f.bin")},
        {QStringLiteral("http://ftp.h/f.bin"), false, QStringLiteral("ftp.h"), QStringLiteral("/f.bin"),
         QStringLiteral("ftp.h/f.bin")},
        {QStringLiteral("h:8080/f.bin"), false, QStringLiteral("h:8080"), QStringLiteral("/f.bin"),
         QStringLiteral("h:8080/f.bin")},
    };
    for (const Case &c : cases) {
        auto probe = std::make_unique<UrlProbe>();
        QSignalSpy started(probe.get(), &UrlProbe::started);
        probe->start(c.url);
        QCOMPARE(started.count(), 1);
        QVERIFY(probe->isRunning());
        QCOMPARE(probe->Test_Link_FTP, c.ftp);
        QCOMPARE(probe->Host_URL, c.host);
        QCOMPARE(probe->Path_URL, c.path);
        QCOMPARE(probe->urlText(), c.kept);
        QCOMPARE(probe->File_URL, c.url.mid(c.url.lastIndexOf(QLatin1Char('/')) + 1));
        // A second start while one runs is ignored.
        probe->start(QStringLiteral("other/x.y"));
        QCOMPARE(started.count(), 1);
        QCOMPARE(probe->Host_URL, c.host);
    }
}

void TestUrlProbe::acceptedFile_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("length");
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("projectName");

    QTest::newRow("206") << 206 << QByteArray("700000") << "/d/f.zip" << qint64(700000) << "f";
    QTest::newRow("200: no ranges") << 200 << QByteArray("700000") << "/f.zip" << qint64(700000) << "f";
    QTest::newRow("several dots") << 206 << QByteArray("12") << "/a.tar.gz" << qint64(12) << "a";
    QTest::newRow("beyond 4 GiB") << 206 << QByteArray("5000000000") << "/big.iso"
                                  << qint64(5000000000LL) << "big";
    QTest::newRow("empty file") << 200 << QByteArray("0") << "/e.txt" << qint64(0) << "e";
}

void TestUrlProbe::acceptedFile()
{
    QFETCH(int, status);
    QFETCH(QByteArray, length);
    QFETCH(QString, path);
    QFETCH(qint64, size);
    QFETCH(QString, projectName);

    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([&](const TestRequest &, TestConnection *c) {
        QList<QByteArray> h = {"Content-Type: application/octet-stream", "Content-Length: " + length};
        if (status == 206)
            h.append("Content-Range: bytes 0-" + QByteArray::number(qMax<qint64>(0, size - 1)) + '/'
                     + length);
        c->send(TestHttpServer::head(status, status == 206 ? "Partial Content" : "OK", h) + "0123456789");
    });

    const QStringList before = projectsListing();
    UrlProbe probe;
    const Outcome o = runProbe(probe, server.baseUrl() + path);
    QCOMPARE(o.failed, 0);
    QCOMPARE(o.succeeded, 1);
    QCOMPARE(o.finished, 1);
    QVERIFY(o.endBeforeFinished);
    QVERIFY(!probe.isRunning());

    const QString kept = server.hostPort() + path;
    QCOMPARE(o.urlTexts, QStringList{kept});
    QCOMPARE(o.result.url, kept);
    QCOMPARE(o.result.ftp, false);
    QCOMPARE(o.result.fileSize, size);
    QCOMPARE(o.result.fileName, Extract_FileName(path));
    QCOMPARE(o.result.projectName, projectName);
    QCOMPARE(o.result.rangesSupported, status == 206);
    QCOMPARE(o.result.packSize, status == 206 ? kPackSetting : size);
    QCOMPARE(probe.File_Size, size);
    QCOMPARE(probe.Project_Name, projectName);
    QVERIFY(probe.Header_OK);
    QVERIFY(!probe.Redirection);
    // The header is kept without the body bytes that came with it.
    QVERIFY(probe.Txt_Recu.startsWith("HTTP/1.1 " + QByteArray::number(status)));
    QVERIFY(!probe.Txt_Recu.contains("0123456789"));
    QCOMPARE(probe.probeSocket()->State(), 0);

    // One connection, one request, exactly as the servers expect it.
    QCOMPARE(server.requests().size(), 1);
    const QByteArray expected = "GET " + path.toUtf8() + " HTTP/1.1\r\n"
                                "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
                                "Accept-Language: fr\r\n"
                                "User-Agent: Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)\r\n"
                                "Range: bytes=0-\r\n"
                                "Host: " + server.hostPort().toUtf8() + "\r\n"
                                "Connection: Keep-Alive\r\n"
                                "\r\n";
    QCOMPARE(server.requests().first().raw, expected);
    QCOMPARE(probe.Txt_Sended, expected);
    // The probe never writes a file.
    QCOMPARE(projectsListing(), before);
}

void TestUrlProbe::refusedHeader_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("message");

    const QByteArray len = "Content-Length: 100";
    const QByteArray bin = "Content-Type: application/octet-stream";
    QTest::newRow("text/html") << "/f.zip"
                               << TestHttpServer::head(200, "OK", {"Content-Type: Text/HTML; charset=utf-8", len})
                               << kNotFile;
    QTest::newRow("no Content-Type") << "/f.zip" << TestHttpServer::head(206, "Partial", {len}) << kUnable;
    QTest::newRow("no Content-Length") << "/f.zip" << TestHttpServer::head(206, "Partial", {bin}) << kUnable;
    QTest::newRow("length not a number")
        << "/f.zip" << TestHttpServer::head(206, "Partial", {bin, "Content-Length: many"}) << kUnable;
    QTest::newRow("negative length")
        << "/f.zip" << TestHttpServer::head(206, "Partial", {bin, "Content-Length: -5"}) << kUnable;
    QTest::newRow("length beyond 63 bits")
        << "/f.zip" << TestHttpServer::head(206, "Partial", {bin, "Content-Length: 99999999999999999999"})
        << kUnable;
    QTest::newRow("redirect without Content-Type")
        << "/f.zip" << TestHttpServer::head(302, "Found", {"Location: /g.zip", len}) << kUnable;
    QTest::newRow("not found, not html")
        << "/f.zip" << TestHttpServer::head(404, "Not Found", {"Content-Type: text/plain", len}) << kNotFile;
    QTest::newRow("file name without dot")
        << "/get" << TestHttpServer::head(206, "Partial", {bin, len}) << kUnable;
    QTest::newRow("nothing after host") << "" << TestHttpServer::head(200, "OK", {bin, len}) << kUnable;
    QTest::newRow("empty base name")
        << "/.profile" << TestHttpServer::head(206, "Partial", {bin, len}) << kNotFile;
    QTest::newRow("dot dot") << "/d/.." << TestHttpServer::head(206, "Partial", {bin, len}) << kNotFile;
    QTest::newRow("backslash in name")
        << "/..\\..\\x.bin" << TestHttpServer::head(206, "Partial", {bin, len}) << kNotFile;
    QTest::newRow("control character in name")
        << "/a\x01" "b.bin" << TestHttpServer::head(206, "Partial", {bin, len}) << kNotFile;
    QTest::newRow("no status line")
        << "/f.zip" << QByteArray("garbage\r\nContent-Type: a/b\r\n" + len + "\r\n\r\n") << kNotFile;
}

void TestUrlProbe::refusedHeader()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, answer);
    QFETCH(QString, message);

    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([&](const TestRequest &, TestConnection *c) { c->send(answer); });

    const QStringList before = projectsListing();
    UrlProbe probe;
    // With nothing after the host, the host is the file name; "localhost" has
    // no dot to take a base name from.
    const QString url = path.isEmpty() ? QStringLiteral("http://localhost:%1").arg(server.port())
                                       : server.baseUrl() + path;
    const Outcome o = runProbe(probe, url);
    QCOMPARE(o.succeeded, 0);
    QCOMPARE(o.failed, 1);
    QCOMPARE(o.finished, 1);
    QVERIFY(o.endBeforeFinished);
    QCOMPARE(o.title, QStringLiteral("Error"));
    QCOMPARE(o.text, message);
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(server.requests().first().target, path.isEmpty() ? QByteArray("/") : path.toUtf8());
    // The window keeps the scheme-stripped address for the user to correct.
    QCOMPARE(probe.urlText(), url.mid(QStringLiteral("http://").size()));
    QCOMPARE(probe.probeSocket()->State(), 0);
    QCOMPARE(projectsListing(), before);
}

void TestUrlProbe::redirections_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("location");   // "@" stands for the server's host:port
    QTest::addColumn<QString>("contentType");
    QTest::addColumn<QString>("finalPath");

    QTest::newRow("301 absolute") << "/r" << 301 << "http://@/d/f.bin" << "application/octet-stream"
                                  << "/d/f.bin";
    QTest::newRow("302 absolute") << "/r" << 302 << "http://@/f.bin" << "text/plain" << "/f.bin";
    QTest::newRow("302 path only") << "/x/r" << 302 << "/d/f.bin" << "text/plain" << "/d/f.bin";
    QTest::newRow("302 relative") << "/x/r?q=1" << 302 << "g.bin" << "text/plain" << "/x/g.bin";
    QTest::newRow("followed even as html") << "/r" << 302 << "/f.bin" << "text/html" << "/f.bin";
}

void TestUrlProbe::redirections()
{
    QFETCH(QString, start);
    QFETCH(int, status);
    QFETCH(QString, location);
    QFETCH(QString, contentType);
    QFETCH(QString, finalPath);

    TestHttpServer server;
    QVERIFY(server.start());
    location.replace(QLatin1Char('@'), server.hostPort());
    server.setHandler([&](const TestRequest &req, TestConnection *c) {
        if (req.target == finalPath.toUtf8()) {
            c->send(TestHttpServer::response(206, "Partial Content",
                                             {"Content-Type: application/octet-stream",
                                              "Content-Range: bytes 0-4/5"},
                                             "hello"));
        } else {
            c->send(TestHttpServer::head(status, "Moved",
                                         {"Content-Type: " + contentType.toUtf8(),
                                          "Location: " + location.toUtf8(), "Content-Length: 0"}));
        }
    });

    UrlProbe probe;
    const Outcome o = runProbe(probe, server.baseUrl() + start);
    QCOMPARE(o.failed, 0);
    QCOMPARE(o.succeeded, 1);
    QCOMPARE(o.finished, 1);
    const QString kept = server.hostPort() + finalPath;
    QCOMPARE(o.result.url, kept);
    QCOMPARE(o.result.fileSize, qint64(5));
    QCOMPARE(o.result.fileName, Extract_FileName(finalPath));
    QCOMPARE(o.urlTexts.last(), kept);
    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(server.requests().at(1).target, finalPath.toUtf8());
    QCOMPARE(server.requests().at(1).header("Host"), server.hostPort().toUtf8());
    QVERIFY(probe.Header_OK);
}

void TestUrlProbe::redirectionLoopEnds()
{
    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([&](const TestRequest &, TestConnection *c) {
        c->send(TestHttpServer::head(302, "Found", {"Content-Type: text/html", "Location: /loop.bin",
                                                    "Content-Length: 0"}));
    });
    UrlProbe probe;
    const Outcome o = runProbe(probe, server.baseUrl() + QStringLiteral("/loop.bin"));
    QCOMPARE(o.succeeded, 0);
    QCOMPARE(o.failed, 1);
    QCOMPARE(o.finished, 1);
    QCOMPARE(o.text, kUnable);
    // The first answer and ten followed redirections.
    QCOMPARE(server.requests().size(), UrlProbe::MaxRedirections + 1);

    // The count starts again with the next probe.
    server.clearRecords();
    const Outcome again = runProbe(probe, server.baseUrl() + QStringLiteral("/loop.bin"));
    QCOMPARE(again.failed, 1);
    QCOMPARE(server.requests().size(), UrlProbe::MaxRedirections + 1);
}

void TestUrlProbe::redirectionToAnotherServer()
{
    TestHttpServer files;
    TestHttpServer front;
    QVERIFY(files.start());
    QVERIFY(front.start());
    files.setHandler([&](const TestRequest &, TestConnection *c) {
        c->send(TestHttpServer::response(200, "OK", {"Content-Type: application/zip"}, "abc"));
    });
    front.setHandler([&](const TestRequest &, TestConnection *c) {
        c->send(TestHttpServer::head(301, "Moved Permanently",
                                     {"content-type: text/html",
                                      "LOCATION: " + files.baseUrl().toUtf8() + "/Pub/Arch.Zip"}));
    });
    UrlProbe probe;
    const Outcome o = runProbe(probe, front.baseUrl() + QStringLiteral("/get"));
    QCOMPARE(o.succeeded, 1);
    QCOMPARE(o.result.url, files.hostPort() + QStringLiteral("/Pub/Arch.Zip"));
    QCOMPARE(o.result.projectName, QStringLiteral("Arch"));
    QCOMPARE(o.result.fileSize, qint64(3));
    QCOMPARE(o.result.rangesSupported, false);
    QCOMPARE(o.result.packSize, qint64(3));
    QCOMPARE(front.requests().size(), 1);
    QCOMPARE(files.requests().size(), 1);
    QCOMPARE(files.requests().first().header("Host"), files.hostPort().toUtf8());
}

void TestUrlProbe::headerInPieces()
{
    const QByteArray head = TestHttpServer::head(206, "Partial Content",
                                                 {"Server: test", "Content-Type: application/zip",
                                                  "Content-Length: 4242", "Content-Range: bytes 0-4241/4242"});
    struct Case {
        const char *name;
        std::function<void(TestConnection *)> answer;
    };
    const QList<Case> cases = {
        // The first piece holds no Content-Type: it must not be judged alone.
        {"split before Content-Type",
         [&](TestConnection *c) {
             const int cut = head.indexOf("Content-Type") + 5;
             c->send(head.left(cut)).pause(60).send(head.mid(cut) + "body");
         }},
        {"split inside the blank line",
         [&](TestConnection *c) { c->send(head.chopped(1)).pause(60).send("\n" + QByteArray(100, 'x')); }},
        {"one byte at a time", [&](TestConnection *c) { c->sendChunked(head, 1, 2); }},
        // A later chunk of the same response changes nothing.
        {"second chunk after the header",
         [&](TestConnection *c) {
             c->send(head + "first").pause(60).send("HTTP/1.1 500 Oops\r\nContent-Type: text/html\r\n\r\n");
         }},
    };
    for (const Case &cs : cases) {
        TestHttpServer server;
        QVERIFY(server.start());
        server.setHandler([&](const TestRequest &, TestConnection *c) { cs.answer(c); });
        UrlProbe probe;
        const Outcome o = runProbe(probe, server.baseUrl() + QStringLiteral("/z.zip"));
        QVERIFY2(o.succeeded == 1 && o.failed == 0, cs.name);
        QCOMPARE(o.result.fileSize, qint64(4242));
        QCOMPARE(o.result.rangesSupported, true);
        QCOMPARE(probe.Txt_Recu, head.chopped(4));
    }
}

void TestUrlProbe::noAnswer()
{
    TestHttpServer server;
    QVERIFY(server.start());
    QByteArray partial;
    server.setHandler([&](const TestRequest &, TestConnection *c) {
        if (!partial.isEmpty())
            c->send(partial);
    });
    UrlProbe probe;
    probe.setTimeoutInterval(300);

    // Connected, request received, never a byte back.
    Outcome o = runProbe(probe, server.baseUrl() + QStringLiteral("/f.bin"));
    QCOMPARE(o.failed, 1);
    QCOMPARE(o.text, kNoAnswer + server.hostPort() + QStringLiteral("/f.bin"));
    QCOMPARE(server.requests().size(), 1);

    // A header that stops half-way meets the same deadline.
    partial = "HTTP/1.1 206 Partial Content\r\nContent-Type: a/b\r\n";
    o = runProbe(probe, server.hostPort() + QStringLiteral("/g.bin"));
    QCOMPARE(o.failed, 1);
    QCOMPARE(o.text, kNoAnswer + server.hostPort() + QStringLiteral("/g.bin"));

    // The server hangs up without answering, or in the middle of the header.
    server.setHandler([&](const TestRequest &, TestConnection *c) { c->close(); });
    o = runProbe(probe, server.baseUrl() + QStringLiteral("/h.bin"));
    QCOMPARE(o.failed, 1);
    QCOMPARE(o.text, kNoAnswer + server.hostPort() + QStringLiteral("/h.bin"));
    server.setHandler([&](const TestRequest &, TestConnection *c) { c->send(partial).close(); });
    o = runProbe(probe, server.baseUrl() + QStringLiteral("/h.bin"));
    QCOMPARE(o.failed, 1);
    QCOMPARE(o.text, kUnable);
}

void TestUrlProbe::connectionRefused()
{
    quint16 port = 0;
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        port = closed.serverPort();
    }
    UrlProbe probe;
    const Outcome o = runProbe(probe, QStringLiteral("http://127.0.0.1:%1/f.bin").arg(port));
    QCOMPARE(o.succeeded, 0);
    QCOMPARE(o.failed, 1);
    QCOMPARE(o.finished, 1);
    QCOMPARE(o.title, QStringLiteral("Error"));
    QCOMPARE(o.text, kSocketError);
    QCOMPARE(probe.urlText(), QStringLiteral("127.0.0.1:%1/f.bin").arg(port));
    QVERIFY(!probe.findChild<QTimer *>(QStringLiteral("Timer_Timeout"))->isActive());
}

void TestUrlProbe::nameClash()
{
    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([&](const TestRequest &, TestConnection *c) {
        c->send(TestHttpServer::response(206, "Partial Content",
                                         {"Content-Type: application/zip", "Content-Range: bytes 0-1/2"},
                                         "ab"));
    });
    // A folder or a plain file of that name in the store both count.
    QVERIFY(QDir().mkpath(ProgramFolder::projectsDir() + QStringLiteral("clash")));
    QVERIFY(writeFile(ProgramFolder::projectsDir() + QStringLiteral("taken"), "x"));
    const QRegularExpression pattern(QStringLiteral("^(clash|taken)_(\\d{1,5})$"));

    for (const QString &name : {QStringLiteral("clash"), QStringLiteral("taken")}) {
        const QStringList before = projectsListing();
        UrlProbe probe;
        const int lowest = QTime::currentTime().msecsSinceStartOfDay() / 1000;
        const Outcome o = runProbe(probe, server.baseUrl() + QStringLiteral("/") + name + QStringLiteral(".zip"));
        const int highest = QTime::currentTime().msecsSinceStartOfDay() / 1000;
        QCOMPARE(o.succeeded, 1);
        const QRegularExpressionMatch m = pattern.match(o.result.projectName);
        QVERIFY2(m.hasMatch(), qPrintable(o.result.projectName));
        QCOMPARE(m.captured(1), name);
        const int seconds = m.captured(2).toInt();
        // Seconds since midnight, taken during the probe (midnight may pass).
        QVERIFY(highest < lowest ? (seconds >= lowest || seconds <= highest)
                                 : (seconds >= lowest && seconds <= highest));
        QCOMPARE(projectsListing(), before);
    }
    // A free name stays as it is.
    UrlProbe probe;
    const Outcome o = runProbe(probe, server.baseUrl() + QStringLiteral("/clash2.zip"));
    QCOMPARE(o.result.projectName, QStringLiteral("clash2"));
}

void TestUrlProbe::realNginx()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QByteArray file = randomBytes(700001);
    QVERIFY(writeFile(root.path() + QStringLiteral("/pub/f.bin"), file));
    QVERIFY(writeFile(root.path() + QStringLiteral("/index.html"), "<html></html>"));

    NginxServer nginx;
    QVERIFY2(nginx.start(root.path(), QStringLiteral("location = /r { return 302 /pub/f.bin; }")),
             qPrintable(nginx.lastError()));

    UrlProbe probe;
    Outcome o = runProbe(probe, nginx.baseUrl() + QStringLiteral("/pub/f.bin"));
    QCOMPARE(o.succeeded, 1);
    QCOMPARE(o.result.fileSize, qint64(file.size()));
    QCOMPARE(o.result.rangesSupported, true);
    QCOMPARE(o.result.packSize, kPackSetting);
    QCOMPARE(o.result.projectName, QStringLiteral("f"));
    QCOMPARE(HttpParse::statusCode(probe.Txt_Recu), 206);

    // A real redirection, to an absolute address built by nginx.
    o = runProbe(probe, nginx.baseUrl() + QStringLiteral("/r"));
    QCOMPARE(o.succeeded, 1);
    QCOMPARE(o.result.url, nginx.hostPort() + QStringLiteral("/pub/f.bin"));
    QCOMPARE(o.result.fileSize, qint64(file.size()));
    QVERIFY(o.urlTexts.size() >= 2);

    o = runProbe(probe, nginx.baseUrl() + QStringLiteral("/index.html"));
    QCOMPARE(o.failed, 1);
    QCOMPARE(o.text, kNotFile);
    o = runProbe(probe, nginx.baseUrl() + QStringLiteral("/missing.bin"));
    QCOMPARE(o.failed, 1);
    QCOMPARE(o.text, kNotFile);

    nginx.stop();
    QFile log(nginx.accessLogPath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray lines = log.readAll();
    QCOMPARE(lines.count("GET /pub/f.bin HTTP/1.1\" 206"), 2);
    QCOMPARE(lines.count("GET /r HTTP/1.1\" 302"), 1);
}

QTEST_GUILESS_MAIN(TestUrlProbe)
#include "test_url_probe.moc"
