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
const QByteArray kEtag = "\"v1\"";
const QByteArray kDate = "Sat, 05 Dec 2026 10:00:00 GMT";
const QByteArray kBin = "Content-Type: application/octet-stream";

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

const QByteArray kFiveBytes = TestHttpServer::response(
    206, "Partial Content",
    {kBin, "Content-Range: bytes 0-4/5", "ETag: " + kEtag, "Last-Modified: " + kDate}, "hello");

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

    // Fault: an "ftp" host probed over HTTP or the reverse, or a second start
    // that restarts a running probe. The hosts end in ".invalid": the probes are
    // destroyed before any answer could matter.
    void beforeConnecting()
    {
        const QList<QStringList> cases = {// address, FTP, host, path
                                          {"http://h.invalid/d/f.zip", "", "h.invalid", "/d/f.zip"},
                                          {"ftp.h.invalid/f.bin", "ftp", "ftp.h.invalid", "/f.bin"},
                                          {"FTP://h.invalid/f.bin", "ftp", "h.invalid", "/f.bin"},
                                          {"http://ftp.h.invalid/f.bin", "", "ftp.h.invalid", "/f.bin"}};
        for (const QStringList &c : cases) {
            UrlProbe probe;
            QSignalSpy started(&probe, &UrlProbe::started);
            probe.start(c[0]);
            QCOMPARE(probe.Test_Link_FTP, !c[1].isEmpty());
            QCOMPARE(probe.Host_URL + probe.Path_URL, c[2] + c[3]);
            QCOMPARE(probe.urlText(), c[2] + c[3]);
            probe.start(QStringLiteral("other.invalid/x.y"));
            QCOMPARE(started.count(), 1);
            QCOMPARE(probe.Host_URL, c[2]);
        }
    }

    void acceptedFile_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("projectName");
        QTest::addColumn<bool>("ranges");
        QTest::addColumn<int>("delivery");
        const QList<QByteArray> validators = {"ETag: " + kEtag, "Last-Modified: " + kDate};
        const auto partial = [&](const QByteArray &range, const QByteArray &length) {
            return TestHttpServer::head(206, "Partial Content",
                                        QList<QByteArray>{kBin, "Content-Range: bytes " + range,
                                                          "Content-Length: " + length} + validators);
        };
        const QByteArray small = partial("0-4241/4242", "4242");
        QTest::newRow("206") << "/d/f.zip" << "/d/f.zip" << partial("0-699999/700000", "700000") << qint64(700000)
                             << "f" << true << int(Whole);
        // Fault: ranges assumed, or validators invented, for a plain 200.
        QTest::newRow("200: no ranges") << "/f.zip" << "/f.zip"
                                        << TestHttpServer::head(200, "OK", {kBin, "Content-Length: 700000"})
                                        << qint64(700000) << "f" << false << int(Whole);
        QTest::newRow("beyond 4 GiB") << "/big.iso" << "/big.iso" << partial("0-4999999999/5000000000", "5000000000")
                                      << qint64(5000000000LL) << "big" << true << int(Whole);
        // Fault: the size of a capped answer taken for the file's size.
        QTest::newRow("capped 206") << "/c.bin" << "/c.bin" << partial("0-1048575/3000000", "1048576")
                                    << qint64(3000000) << "c" << true << int(Whole);
        // Fault: an empty file refused as "not found".
        QTest::newRow("empty file, 416")
            << "/e.txt" << "/e.txt"
            << TestHttpServer::head(416, "Range Not Satisfiable",
                                    QList<QByteArray>{"Content-Type: text/html", "Content-Range: bytes */0",
                                                      "Content-Length: 0"} + validators)
            << qint64(0) << "e" << true << int(Whole);
        QTest::newRow("header split before Content-Type") << "/z.zip" << "/z.zip" << small << qint64(4242) << "z"
                                                          << true << int(SplitInName);
        QTest::newRow("header one byte at a time") << "/z.zip" << "/z.zip" << small << qint64(4242) << "z" << true
                                                   << int(ByteByByte);
        QTest::newRow("second chunk after the header") << "/z.zip" << "/z.zip" << small << qint64(4242) << "z"
                                                       << true << int(ThenJunk);
        // Fault: a raw space breaks the request line; the fragment is sent and named.
        QTest::newRow("space and fragment") << "/d/my file.zip#part" << "/d/my%20file.zip" << small << qint64(4242)
                                            << "my%20file" << true << int(Whole);
        QTest::newRow("dot segments") << "/a/../b/./f.zip" << "/b/f.zip" << small << qint64(4242) << "f" << true
                                      << int(Whole);
    }

    void acceptedFile()
    {
        QFETCH(QString, typed);
        QFETCH(QString, sent);
        QFETCH(QByteArray, head);
        QFETCH(qint64, size);
        QFETCH(QString, projectName);
        QFETCH(bool, ranges);
        QFETCH(int, delivery);
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
        const Outcome o = runProbe(probe, server.baseUrl() + typed);
        QCOMPARE(o.events, kSucceeded);
        const QString kept = server.hostPort() + sent;
        QCOMPARE(o.urlTexts, QStringList{kept});
        QCOMPARE(o.result.url, kept);
        QCOMPARE(o.result.fileSize, size);
        QCOMPARE(o.result.projectName, projectName);
        QCOMPARE(o.result.rangesSupported, ranges);
        QCOMPARE(o.result.packSize, ranges ? kPackSetting : size);
        const bool validators = head.contains("ETag");
        QCOMPARE(o.result.etag, validators ? kEtag : QByteArray());
        QCOMPARE(o.result.lastModified, validators ? kDate : QByteArray());
        // The header is kept without the body bytes that came with it.
        QCOMPARE(probe.Txt_Recu, head.chopped(4));

        // One connection, one request, exactly as the servers expect it.
        QCOMPARE(server.requests().size(), 1);
        const QByteArray expected = "GET " + sent.toUtf8() + " HTTP/1.1\r\n"
                                    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
                                    "Accept-Language: fr\r\n"
                                    "User-Agent: Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)\r\n"
                                    "Range: bytes=0-\r\n"
                                    "Host: " + server.hostPort().toUtf8() + "\r\n"
                                    "Connection: Keep-Alive\r\n\r\n";
        QCOMPARE(server.requests().first().raw, expected);
        QCOMPARE(projectsListing(), before); // the probe never writes a file
    }

    void refusedHeader_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("requests");
        const QByteArray len = "Content-Length: 100";
        const auto partial = [](const QList<QByteArray> &lines) { return TestHttpServer::head(206, "Partial", lines); };
        QTest::newRow("text/html")
            << "/f.zip" << TestHttpServer::head(200, "OK", {"Content-Type: Text/HTML; charset=utf-8", len}) << kNotFile
            << 1;
        QTest::newRow("no Content-Type") << "/f.zip" << partial({len}) << kUnable << 1;
        QTest::newRow("no Content-Length") << "/f.zip" << partial({kBin}) << kUnable << 1;
        QTest::newRow("length not a number") << "/f.zip" << partial({kBin, "Content-Length: many"}) << kUnable << 1;
        QTest::newRow("redirect without Content-Type")
            << "/f.zip" << TestHttpServer::head(302, "Found", {"Location: /g.zip", len}) << kUnable << 1;
        // The first answer and ten followed redirections.
        QTest::newRow("redirection loop")
            << "/loop.bin"
            << TestHttpServer::head(302, "Found", {"Content-Type: text/html", "Location: /loop.bin", "Content-Length: 0"})
            << kUnable << UrlProbe::MaxRedirections + 1;
        QTest::newRow("not found, not html")
            << "/f.zip" << TestHttpServer::head(404, "Not Found", {"Content-Type: text/plain", len}) << kNotFile << 1;
        // Fault: any 416 taken for an empty file.
        QTest::newRow("416 of a non-empty file")
            << "/f.zip" << TestHttpServer::head(416, "Range", {kBin, "Content-Range: bytes */5000", "Content-Length: 0"})
            << kNotFile << 1;
        // Fault: a 206 that does not start at byte 0 accepted as the file.
        QTest::newRow("206 not from byte 0") << "/f.zip" << partial({kBin, len, "Content-Range: bytes 100-199/1000"})
                                             << kUnable << 1;
        QTest::newRow("file name without dot") << "/get" << partial({kBin, len}) << kUnable << 1;
        QTest::newRow("empty base name") << "/.profile" << partial({kBin, len}) << kNotFile << 1;
        QTest::newRow("no status line")
            << "/f.zip" << QByteArray("garbage\r\nContent-Type: a/b\r\n" + len + "\r\n\r\n") << kNotFile << 1;
        // Fault: a line break in the address sent as header lines of its own.
        QTest::newRow("control character") << "/f.zip\r\nX-Injected: 1" << partial({kBin, len}) << kNotFile << 0;
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
            QCOMPARE(probe.probeSocket()->State(), 0);
            if (requests == 0)
                continue;
            QCOMPARE(server.requests().last().target, path.toUtf8());
            // The window keeps the scheme-stripped address for the user to correct.
            QCOMPARE(probe.urlText(), server.hostPort() + path);
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
        QTest::newRow("301 absolute") << "/r" << 301 << "http://@/d/f.bin" << "application/octet-stream" << "/d/f.bin";
        QTest::newRow("302 path only") << "/x/r" << 302 << "/d/f.bin" << "text/plain" << "/d/f.bin";
        QTest::newRow("302 relative") << "/x/r?q=1" << 302 << "g.bin" << "text/plain" << "/x/g.bin";
        // Fault: "../" of a Location sent to the server as it is.
        QTest::newRow("relative with dot segments") << "/x/y/r" << 302 << "../g.bin#frag" << "text/plain" << "/x/g.bin";
        QTest::newRow("followed even as html") << "/r" << 302 << "/f.bin" << "text/html" << "/f.bin";
        QTest::newRow("to another server") << "/get" << 301 << "http://%/Pub/Arch.Zip" << "text/html" << "/Pub/Arch.Zip";
    }

    void redirections()
    {
        QFETCH(QString, start);
        QFETCH(int, status);
        QFETCH(QString, location);
        QFETCH(QString, contentType);
        QFETCH(QString, finalPath);
        TestHttpServer server;
        TestHttpServer other;
        QVERIFY(server.start() && answering(other, kFiveBytes));
        location.replace(QLatin1Char('@'), server.hostPort()).replace(QLatin1Char('%'), other.hostPort());
        TestHttpServer &files = location.contains(other.hostPort()) ? other : server;
        // Header names in any case; the redirection's own validators are not the file's.
        server.setHandler([&](const TestRequest &req, TestConnection *c) {
            c->send(req.target == finalPath.toUtf8()
                        ? kFiveBytes
                        : TestHttpServer::head(status, "Moved", {"content-TYPE: " + contentType.toUtf8(),
                                                                 "LOCATION: " + location.toUtf8(),
                                                                 "ETag: \"redirect\"", "Content-Length: 0"}));
        });

        UrlProbe probe;
        const Outcome o = runProbe(probe, server.baseUrl() + start);
        QCOMPARE(o.events, kSucceeded);
        const QString kept = files.hostPort() + finalPath;
        QCOMPARE(o.result.url, kept);
        QCOMPARE(o.urlTexts.last(), kept);
        QCOMPARE(o.result.fileName, finalPath.mid(finalPath.lastIndexOf('/') + 1));
        QCOMPARE(o.result.fileSize, qint64(5));
        // Fault: validators kept from the redirection instead of the file's answer.
        QCOMPARE(o.result.etag, kEtag);
        QCOMPARE(o.result.lastModified, kDate);
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
        QVERIFY(!probe.findChild<QTimer *>(QStringLiteral("Timer_Timeout"))->isActive());
    }

    // Fault: two names made within one second are equal, so the second project
    // overwrites the first; or the fraction is written with a fixed width or an
    // exponent.
    void nameClash()
    {
        const QString store = ProgramFolder::projectsDir();
        QVERIFY(QDir().mkpath(store + QStringLiteral("clash")));
        QFile taken(store + QStringLiteral("taken"));
        QVERIFY(taken.open(QIODevice::WriteOnly)); // a plain file counts too
        taken.close();
        for (const auto &[base, seconds, name] : QList<std::tuple<QString, double, QString>>{
                 {"clash", 64547.123, "clash_64547.12"}, {"clash", 64547.6, "clash_64547.6"},
                 {"taken", 5.25, "taken_5.25"}, {"clash", 0.001, "clash_0.001"}, {"clash", 0, "clash_0"},
                 {"clash", 86399.0, "clash_86399"}, {"free", 5.25, "free"}})
            QCOMPARE(UrlProbe::projectNameFor(base, store, seconds), name);

        // The probe takes the time of day during the probe (midnight may pass).
        TestHttpServer server;
        QVERIFY(answering(server, kFiveBytes));
        UrlProbe probe;
        const double first = QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
        const Outcome o = runProbe(probe, server.baseUrl() + QStringLiteral("/clash.zip"));
        const double last = QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
        QCOMPARE(o.events, kSucceeded);
        const QString name = o.result.projectName;
        QVERIFY2(QRegularExpression(QStringLiteral("^clash_\\d{1,5}(\\.\\d+)?$")).match(name).hasMatch(), qPrintable(name));
        const double s = name.mid(6).toDouble();
        QVERIFY2(last < first ? (s >= first - 0.01 || s <= last + 0.01) : (s >= first - 0.01 && s <= last + 0.01),
                 qPrintable(name));
    }

    void realNginx()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid() && QDir().mkpath(root.path() + QStringLiteral("/pub")));
        const QByteArray file(700001, 'z');
        QFile f(root.path() + QStringLiteral("/pub/f.bin"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(file) == file.size());
        f.close();
        NginxServer nginx;
        QVERIFY2(nginx.start(root.path(), QStringLiteral("location = /r { return 302 /pub/f.bin; }")),
                 qPrintable(nginx.lastError()));

        UrlProbe probe;
        Outcome o = runProbe(probe, nginx.baseUrl() + QStringLiteral("/pub/f.bin"));
        QCOMPARE(o.events, kSucceeded);
        QCOMPARE(o.result.fileSize, qint64(file.size()));
        QVERIFY(o.result.rangesSupported);
        QVERIFY(o.result.etag.startsWith('"') && !o.result.lastModified.isEmpty());

        // A real redirection, to an absolute address built by nginx.
        o = runProbe(probe, nginx.baseUrl() + QStringLiteral("/r"));
        QCOMPARE(o.events, kSucceeded);
        QCOMPARE(o.result.url, nginx.hostPort() + QStringLiteral("/pub/f.bin"));
        QCOMPARE(o.result.fileSize, qint64(file.size()));
    }
};

QTEST_GUILESS_MAIN(TestUrlProbe)
#include "test_url_probe.moc"
