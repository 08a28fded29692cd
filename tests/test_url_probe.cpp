#include "core/program_folder.h"
#include "core/settings.h"
#include "core/winsock.h"
#include "engine/url_probe.h"
#include "support/nginx_server.h"
#include "support/test_http_server.h"

#include <QDir>
#include <QFile>
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
    QStringList events;   // "succeeded", or "title: text" of a failure, then "finished"
    ProbeResult result;
    QStringList urlTexts;
};

const QStringList kSucceeded = {QStringLiteral("succeeded"), QStringLiteral("finished")};
QStringList failedWith(const QString &text)
{
    return {QStringLiteral("Error: ") + text, QStringLiteral("finished")};
}

Outcome runProbe(UrlProbe &probe, const QString &url)
{
    Outcome o;
    QObject ctx;
    QObject::connect(&probe, &UrlProbe::succeeded, &ctx, [&](const ProbeResult &r) {
        o.events.append(QStringLiteral("succeeded"));
        o.result = r;
    });
    QObject::connect(&probe, &UrlProbe::failed, &ctx,
                     [&](const QString &title, const QString &text) { o.events.append(title + ": " + text); });
    QObject::connect(&probe, &UrlProbe::urlTextChanged, &ctx, [&](const QString &t) { o.urlTexts.append(t); });
    QObject::connect(&probe, &UrlProbe::finished, &ctx, [&]() { o.events.append(QStringLiteral("finished")); });
    probe.start(url);
    (void)QTest::qWaitFor([&]() { return o.events.contains(QStringLiteral("finished")); }, 60000);
    QTest::qWait(30); // anything signalled late would show up here
    return o;
}

// The server gives the same answer to every request.
bool answering(TestHttpServer &server, const QByteArray &answer)
{
    server.setHandler([answer](const TestRequest &, TestConnection *c) { c->send(answer); });
    return server.start();
}

QStringList projectsListing()
{
    return QDir(ProgramFolder::projectsDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

const QByteArray kFiveBytes = TestHttpServer::response(
    206, "Partial Content", {"Content-Type: application/octet-stream", "Content-Range: bytes 0-4/5"}, "hello");

// How the test server sends its answer.
enum Delivery { Whole, SplitInName, ByteByByte, ThenJunk };

} // namespace

class TestUrlProbe : public QObject
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
        Settings::write(QStringLiteral("packsize"), kPackSetting);
    }

    // What the probe has and takes from the address before any connection. The
    // probes are destroyed before the event loop runs, so nothing goes on the network.
    void beforeConnecting()
    {
        const QList<QStringList> cases = {// address, FTP, host, path
                                          {"http://h/d/f.zip", "", "h", "/d/f.zip"},
                                          {"ftp.h/f.bin", "ftp", "ftp.h", "/f.bin"},
                                          {"FTP://h/f.bin", "ftp", "h", "/f.bin"},
                                          {"http://ftp.h/f.bin", "", "ftp.h", "/f.bin"}};
        for (const QStringList &c : cases) {
            UrlProbe probe;
            auto *timeout = probe.findChild<QTimer *>(QStringLiteral("Timer_Timeout"));
            QVERIFY(probe.probeSocket() && timeout && timeout->interval() == 20000 && !timeout->isActive());
            QCOMPARE(probe.findChild<Winsock *>(QStringLiteral("Winsock")), probe.probeSocket());
            QSignalSpy started(&probe, &UrlProbe::started);
            probe.start(c[0]);
            QVERIFY(started.count() == 1 && probe.isRunning());
            QCOMPARE(probe.Test_Link_FTP, !c[1].isEmpty());
            QCOMPARE(probe.Host_URL, c[2]);
            QCOMPARE(probe.Path_URL, c[3]);
            QCOMPARE(probe.urlText(), c[2] + c[3]);
            // A second start while one runs is ignored.
            probe.start(QStringLiteral("other/x.y"));
            QCOMPARE(started.count(), 1);
            QCOMPARE(probe.Host_URL, c[2]);
        }
    }

    void acceptedFile_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("path");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("projectName");
        QTest::addColumn<int>("delivery");
        QTest::newRow("206") << 206 << "/d/f.zip" << qint64(700000) << "f" << int(Whole);
        QTest::newRow("200: no ranges") << 200 << "/f.zip" << qint64(700000) << "f" << int(Whole);
        QTest::newRow("beyond 4 GiB") << 206 << "/big.iso" << qint64(5000000000LL) << "big" << int(Whole);
        QTest::newRow("empty file") << 200 << "/e.txt" << qint64(0) << "e" << int(Whole);
        QTest::newRow("header split before Content-Type") << 206 << "/z.zip" << qint64(4242) << "z" << int(SplitInName);
        QTest::newRow("header one byte at a time") << 206 << "/z.zip" << qint64(4242) << "z" << int(ByteByByte);
        QTest::newRow("second chunk after the header") << 206 << "/z.zip" << qint64(4242) << "z" << int(ThenJunk);
    }

    void acceptedFile()
    {
        QFETCH(int, status);
        QFETCH(QString, path);
        QFETCH(qint64, size);
        QFETCH(QString, projectName);
        QFETCH(int, delivery);
        const QByteArray length = QByteArray::number(size);
        QList<QByteArray> lines = {"Content-Type: application/octet-stream", "Content-Length: " + length};
        if (status == 206)
            lines.append("Content-Range: bytes 0-" + QByteArray::number(qMax<qint64>(0, size - 1)) + '/' + length);
        const QByteArray head = TestHttpServer::head(status, status == 206 ? "Partial Content" : "OK", lines);
        TestHttpServer server;
        QVERIFY(server.start());
        server.setHandler([&](const TestRequest &, TestConnection *c) {
            const QByteArray answer = head + "0123456789";
            const int cut = answer.indexOf("Content-Type") + 5; // the first piece must not be judged alone
            switch (delivery) {
            case SplitInName: c->send(answer.left(cut)).pause(60).send(answer.mid(cut)); break;
            case ByteByByte: c->sendChunked(answer, 1, 2); break;
            case ThenJunk: // a later chunk of the same response changes nothing
                c->send(answer).pause(60).send("HTTP/1.1 500 Oops\r\nContent-Type: text/html\r\n\r\n");
                break;
            default: c->send(answer);
            }
        });

        const QStringList before = projectsListing();
        UrlProbe probe;
        const Outcome o = runProbe(probe, server.baseUrl() + path);
        QCOMPARE(o.events, kSucceeded);
        QVERIFY(!probe.isRunning());
        const QString kept = server.hostPort() + path;
        QCOMPARE(o.urlTexts, QStringList{kept});
        QCOMPARE(o.result.url, kept);
        QVERIFY(!o.result.ftp);
        QCOMPARE(o.result.fileSize, size);
        QCOMPARE(o.result.projectName, projectName);
        // A server that ignored the range has one pack of the whole file.
        QCOMPARE(o.result.rangesSupported, status == 206);
        QCOMPARE(o.result.packSize, status == 206 ? kPackSetting : size);
        QVERIFY(probe.Header_OK && !probe.Redirection);
        // The header is kept without the body bytes that came with it.
        QCOMPARE(probe.Txt_Recu, head.chopped(4));
        QCOMPARE(probe.probeSocket()->State(), 0);

        // One connection, one request, exactly as the servers expect it.
        QCOMPARE(server.requests().size(), 1);
        const QByteArray expected = "GET " + path.toUtf8() + " HTTP/1.1\r\n"
                                    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
                                    "Accept-Language: fr\r\n"
                                    "User-Agent: Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)\r\n"
                                    "Range: bytes=0-\r\n"
                                    "Host: " + server.hostPort().toUtf8() + "\r\n"
                                    "Connection: Keep-Alive\r\n\r\n";
        QCOMPARE(server.requests().first().raw, expected);
        QCOMPARE(probe.Txt_Sended, expected);
        // The probe never writes a file.
        QCOMPARE(projectsListing(), before);
    }

    void refusedHeader_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("requests");
        const QByteArray len = "Content-Length: 100";
        const QByteArray bin = "Content-Type: application/octet-stream";
        const auto partial = [](const QList<QByteArray> &lines) { return TestHttpServer::head(206, "Partial", lines); };
        QTest::newRow("text/html")
            << "/f.zip" << TestHttpServer::head(200, "OK", {"Content-Type: Text/HTML; charset=utf-8", len}) << kNotFile
            << 1;
        QTest::newRow("no Content-Type") << "/f.zip" << partial({len}) << kUnable << 1;
        QTest::newRow("no Content-Length") << "/f.zip" << partial({bin}) << kUnable << 1;
        QTest::newRow("length not a number") << "/f.zip" << partial({bin, "Content-Length: many"}) << kUnable << 1;
        QTest::newRow("redirect without Content-Type")
            << "/f.zip" << TestHttpServer::head(302, "Found", {"Location: /g.zip", len}) << kUnable << 1;
        // The first answer and ten followed redirections.
        QTest::newRow("redirection loop")
            << "/loop.bin"
            << TestHttpServer::head(302, "Found", {"Content-Type: text/html", "Location: /loop.bin",
                                                   "Content-Length: 0"})
            << kUnable << UrlProbe::MaxRedirections + 1;
        QTest::newRow("not found, not html")
            << "/f.zip" << TestHttpServer::head(404, "Not Found", {"Content-Type: text/plain", len}) << kNotFile << 1;
        QTest::newRow("file name without dot") << "/get" << partial({bin, len}) << kUnable << 1;
        QTest::newRow("empty base name") << "/.profile" << partial({bin, len}) << kNotFile << 1;
        QTest::newRow("dot dot") << "/d/.." << partial({bin, len}) << kNotFile << 1;
        QTest::newRow("backslash in name") << "/..\\..\\x.bin" << partial({bin, len}) << kNotFile << 1;
        QTest::newRow("no status line")
            << "/f.zip" << QByteArray("garbage\r\nContent-Type: a/b\r\n" + len + "\r\n\r\n") << kNotFile << 1;
    }

    void refusedHeader()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, answer);
        QFETCH(QString, message);
        QFETCH(int, requests);
        TestHttpServer server;
        QVERIFY(answering(server, answer));

        const QStringList before = projectsListing();
        UrlProbe probe;
        for (int round = 0; round < 2; ++round) { // nothing of a failed probe stays for the next one
            server.clearRecords();
            const Outcome o = runProbe(probe, server.baseUrl() + path);
            QCOMPARE(o.events, failedWith(message));
            QCOMPARE(server.requests().size(), requests);
            QCOMPARE(server.requests().last().target, path.toUtf8());
            // The window keeps the scheme-stripped address for the user to correct.
            QCOMPARE(probe.urlText(), server.hostPort() + path);
            QCOMPARE(probe.probeSocket()->State(), 0);
        }
        QCOMPARE(projectsListing(), before);
    }

    void redirections_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("location");   // "@": the server's host:port, "%": another server's
        QTest::addColumn<QString>("contentType");
        QTest::addColumn<QString>("finalPath");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("301 absolute") << "/r" << 301 << "http://@/d/f.bin" << "application/octet-stream"
                                      << "/d/f.bin" << "f.bin";
        QTest::newRow("302 path only") << "/x/r" << 302 << "/d/f.bin" << "text/plain" << "/d/f.bin" << "f.bin";
        QTest::newRow("302 relative") << "/x/r?q=1" << 302 << "g.bin" << "text/plain" << "/x/g.bin" << "g.bin";
        QTest::newRow("followed even as html") << "/r" << 302 << "/f.bin" << "text/html" << "/f.bin" << "f.bin";
        QTest::newRow("to another server") << "/get" << 301 << "http://%/Pub/Arch.Zip" << "text/html"
                                           << "/Pub/Arch.Zip" << "Arch.Zip";
    }

    void redirections()
    {
        QFETCH(QString, start);
        QFETCH(int, status);
        QFETCH(QString, location);
        QFETCH(QString, contentType);
        QFETCH(QString, finalPath);
        QFETCH(QString, fileName);
        TestHttpServer server;
        TestHttpServer other;
        QVERIFY(server.start() && answering(other, kFiveBytes));
        location.replace(QLatin1Char('@'), server.hostPort()).replace(QLatin1Char('%'), other.hostPort());
        TestHttpServer &files = location.contains(other.hostPort()) ? other : server;
        // Header names in any case.
        server.setHandler([&](const TestRequest &req, TestConnection *c) {
            c->send(req.target == finalPath.toUtf8()
                        ? kFiveBytes
                        : TestHttpServer::head(status, "Moved", {"content-TYPE: " + contentType.toUtf8(),
                                                                 "LOCATION: " + location.toUtf8(),
                                                                 "Content-Length: 0"}));
        });

        UrlProbe probe;
        const Outcome o = runProbe(probe, server.baseUrl() + start);
        QCOMPARE(o.events, kSucceeded);
        const QString kept = files.hostPort() + finalPath;
        QCOMPARE(o.result.url, kept);
        QCOMPARE(o.urlTexts.last(), kept);
        QCOMPARE(o.result.fileName, fileName);
        QCOMPARE(o.result.fileSize, qint64(5));
        QVERIFY(probe.Header_OK);
        QCOMPARE(server.requests().size() + other.requests().size(), 2);
        QCOMPARE(files.requests().last().target, finalPath.toUtf8());
        QCOMPARE(files.requests().last().header("Host"), files.hostPort().toUtf8());
    }

    void noUsableAnswer()
    {
        TestHttpServer server;
        QVERIFY(server.start());
        UrlProbe probe;
        probe.setTimeoutInterval(300);
        // Connected, request received, never a byte back.
        Outcome o = runProbe(probe, server.baseUrl() + QStringLiteral("/f.bin"));
        QCOMPARE(o.events, failedWith(kNoAnswer + server.hostPort() + QStringLiteral("/f.bin")));
        QCOMPARE(server.requests().size(), 1);

        // The server hangs up without answering, or in the middle of the header.
        server.setHandler([&](const TestRequest &, TestConnection *c) { c->close(); });
        o = runProbe(probe, server.baseUrl() + QStringLiteral("/h.bin"));
        QCOMPARE(o.events, failedWith(kNoAnswer + server.hostPort() + QStringLiteral("/h.bin")));
        server.setHandler([&](const TestRequest &, TestConnection *c) {
            c->send("HTTP/1.1 206 Partial Content\r\nContent-Type: a/b\r\n").close();
        });
        o = runProbe(probe, server.baseUrl() + QStringLiteral("/h.bin"));
        QCOMPARE(o.events, failedWith(kUnable));

        // Nobody listens any more.
        server.stop();
        o = runProbe(probe, server.baseUrl() + QStringLiteral("/f.bin"));
        QCOMPARE(o.events, failedWith(kSocketError));
        QCOMPARE(probe.urlText(), server.hostPort() + QStringLiteral("/f.bin"));
        QVERIFY(!probe.findChild<QTimer *>(QStringLiteral("Timer_Timeout"))->isActive());
    }

    void nameClash()
    {
        // A folder or a plain file of that name in the store both count.
        const QString store = ProgramFolder::projectsDir();
        QVERIFY(QDir().mkpath(store + QStringLiteral("clash")) && writeFile(store + QStringLiteral("taken"), "x"));
        QCOMPARE(UrlProbe::projectNameFor(QStringLiteral("clash"), store, 0), QStringLiteral("clash_0"));
        QCOMPARE(UrlProbe::projectNameFor(QStringLiteral("taken"), store, 86399), QStringLiteral("taken_86399"));
        QCOMPARE(UrlProbe::projectNameFor(QStringLiteral("clash2"), store, 5), QStringLiteral("clash2"));

        // The probe adds the seconds since midnight, taken during the probe
        // (midnight may pass), and writes nothing.
        TestHttpServer server;
        QVERIFY(answering(server, kFiveBytes));
        const QStringList before = projectsListing();
        UrlProbe probe;
        const int first = QTime::currentTime().msecsSinceStartOfDay() / 1000;
        const Outcome o = runProbe(probe, server.baseUrl() + QStringLiteral("/clash.zip"));
        const int last = QTime::currentTime().msecsSinceStartOfDay() / 1000;
        QCOMPARE(o.events, kSucceeded);
        const QString name = o.result.projectName;
        QVERIFY2(QRegularExpression(QStringLiteral("^clash_\\d{1,5}$")).match(name).hasMatch(), qPrintable(name));
        const int seconds = name.mid(6).toInt();
        QVERIFY(last < first ? (seconds >= first || seconds <= last) : (seconds >= first && seconds <= last));
        QCOMPARE(projectsListing(), before);
    }

    void realNginx()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QByteArray file(700001, 'z');
        QVERIFY(writeFile(root.path() + QStringLiteral("/pub/f.bin"), file));
        NginxServer nginx;
        QVERIFY2(nginx.start(root.path(), QStringLiteral("location = /r { return 302 /pub/f.bin; }")),
                 qPrintable(nginx.lastError()));

        UrlProbe probe;
        Outcome o = runProbe(probe, nginx.baseUrl() + QStringLiteral("/pub/f.bin"));
        QCOMPARE(o.events, kSucceeded);
        QCOMPARE(o.result.fileSize, qint64(file.size()));
        QVERIFY(o.result.rangesSupported);
        QCOMPARE(o.result.packSize, kPackSetting);
        QCOMPARE(o.result.projectName, QStringLiteral("f"));

        // A real redirection, to an absolute address built by nginx.
        o = runProbe(probe, nginx.baseUrl() + QStringLiteral("/r"));
        QCOMPARE(o.events, kSucceeded);
        QCOMPARE(o.result.url, nginx.hostPort() + QStringLiteral("/pub/f.bin"));
        QCOMPARE(o.result.fileSize, qint64(file.size()));
        QVERIFY(o.urlTexts.size() >= 2);
    }
};

QTEST_GUILESS_MAIN(TestUrlProbe)
#include "test_url_probe.moc"
