#include "core/program_folder.h"
#include "core/settings.h"
#include "core/winsock.h"
#include "engine/url_probe.h"
#include "support/nginx_server.h"
#include "support/test_http_server.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kUnable = QStringLiteral("Unable to use the high speed download method on this server !");
const QString kNotFile = QStringLiteral("File not found or the URL don't point on a file !");
const qint64 kPackSetting = 1024000;
const QByteArray kEtag = "\"v1\"", kDate = "Sat, 05 Dec 2026 10:00:00 GMT";
const QByteArray kBin = "Content-Type: application/octet-stream";
const QList<QByteArray> kValidators = {"ETag: " + kEtag, "Last-Modified: " + kDate};

QByteArray partial(const QByteArray &range, const QByteArray &length, QList<QByteArray> more = kValidators)
{
    return TestHttpServer::head(206, "Partial Content",
                                QList<QByteArray>{kBin, "Content-Range: bytes " + range, "Content-Length: " + length} + more);
}

// One probe run: "size name ranges" of a success or the message of a failure,
// the address the window is told to show, and the result.
struct Outcome
{
    QString text;
    QString urlText;
    ProbeResult result;
    int reports = 0;
};

Outcome runProbe(UrlProbe &probe, const QString &url)
{
    Outcome o;
    QObject ctx;
    QObject::connect(&probe, &UrlProbe::succeeded, &ctx, [&](const ProbeResult &r) {
        o.text = QStringLiteral("%1 %2 %3").arg(r.fileSize).arg(r.projectName, r.rangesSupported ? "ranges" : "whole");
        o.result = r;
        ++o.reports;
    });
    QObject::connect(&probe, &UrlProbe::failed, &ctx, [&](const QString &title, const QString &text) {
        o.text = title == "Error" ? text : "wrong title " + title;
        ++o.reports;
    });
    QObject::connect(&probe, &UrlProbe::urlTextChanged, &ctx, [&](const QString &t) { o.urlText = t; });
    QSignalSpy finished(&probe, &UrlProbe::finished);
    probe.start(url);
    if (finished.isEmpty())
        finished.wait(60000);
    if (o.reports != 1 || finished.size() != 1)
        o.text = QStringLiteral("%1 reports, %2 ends").arg(o.reports).arg(finished.size());
    return o;
}

QStringList projectsListing()
{
    return QDir(ProgramFolder::projectsDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

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
    // that restarts a running probe. No answer is awaited from these hosts.
    void ftpOrHttp()
    {
        for (const auto &[url, ftp] : QList<QPair<QString, bool>>{{"http://h.invalid/f.bin", false},
                 {"ftp.h.invalid/f.bin", true}, {"FTP://h.invalid/f.bin", true}, {"http://ftp.h.invalid/f.bin", false}}) {
            UrlProbe probe;
            QSignalSpy started(&probe, &UrlProbe::started);
            probe.start(url);
            probe.start(QStringLiteral("other.invalid/x.y"));
            QCOMPARE(started.count(), 1);
            QCOMPARE(probe.Test_Link_FTP, ftp);
            QCOMPARE(probe.urlText(), probe.Host_URL + "/f.bin");
        }
    }

    // What the probe makes of each answer to its request for typed. "sent" is
    // the request target the server must get and the address kept after the
    // host (typed when empty).
    void answers_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("outcome");
        const QByteArray len = "Content-Length: 100";
        const QByteArray small = partial("0-4241/4242", "4242");
        QTest::newRow("206") << "/d/f.zip" << "" << partial("0-699999/700000", "700000") << "700000 f ranges";
        // Fault: ranges assumed, or validators invented, for a plain 200.
        QTest::newRow("200: no ranges") << "/f.zip" << "" << TestHttpServer::head(200, "OK", {kBin, "Content-Length: 7"})
                                        << "7 f whole";
        QTest::newRow("beyond 4 GiB") << "/big.iso" << "" << partial("0-4999999999/5000000000", "5000000000")
                                      << "5000000000 big ranges";
        // Fault: the length of a capped answer taken for the file's size.
        QTest::newRow("capped 206") << "/c.bin" << "" << partial("0-1048575/3000000", "1048576") << "3000000 c ranges";
        // Fault: an empty file refused as "not found".
        QTest::newRow("empty file, 416") << "/e.txt" << ""
                                         << TestHttpServer::head(416, "Range Not Satisfiable",
                                                                 QList<QByteArray>{"Content-Type: text/html",
                                                                                   "Content-Range: bytes */0"} + kValidators)
                                         << "0 e ranges";
        // Fault: a raw space breaks the request line; the fragment is sent or named.
        QTest::newRow("space and fragment") << "/d/my file.zip#part" << "/d/my%20file.zip" << small
                                            << "4242 my%20file ranges";
        QTest::newRow("dot segments") << "/a/../b/./f.zip" << "/b/f.zip" << small << "4242 f ranges";
        QTest::newRow("text/html") << "/f.zip" << "" << TestHttpServer::head(200, "OK", {"Content-Type: Text/HTML", len})
                                   << kNotFile;
        QTest::newRow("no Content-Type") << "/f.zip" << "" << partial("0-99/100", "100").replace(kBin, "X: y") << kUnable;
        QTest::newRow("no length") << "/f.zip" << "" << TestHttpServer::head(206, "Partial", {kBin}) << kUnable;
        QTest::newRow("length not a number") << "/f.zip" << "" << TestHttpServer::head(200, "OK", {kBin, "Content-Length: x"})
                                             << kUnable;
        QTest::newRow("redirect without Content-Type")
            << "/f.zip" << "" << TestHttpServer::head(302, "Found", {"Location: /g.zip", len}) << kUnable;
        QTest::newRow("not found, not html") << "/f.zip" << ""
                                             << TestHttpServer::head(404, "Not Found", {"Content-Type: text/plain", len})
                                             << kNotFile;
        // Fault: any 416 taken for an empty file.
        QTest::newRow("416 of a non-empty file")
            << "/f.zip" << "" << TestHttpServer::head(416, "Range", {kBin, "Content-Range: bytes */5000"}) << kNotFile;
        // Fault: a 206 that does not start at byte 0 accepted as the file.
        QTest::newRow("206 not from byte 0") << "/f.zip" << "" << partial("100-199/1000", "100") << kUnable;
        QTest::newRow("file name without dot") << "/get" << "" << small << kUnable;
        QTest::newRow("empty base name") << "/.profile" << "" << small << kNotFile;
        QTest::newRow("no status line") << "/f.zip" << "" << QByteArray("garbage\r\n" + kBin + "\r\n" + len + "\r\n\r\n")
                                        << kNotFile;
        // Fault: a line break in the address sent as header lines of its own.
        QTest::newRow("control character") << "/f.zip\r\nX-Injected: 1" << "-" << small << kNotFile;
    }

    void answers()
    {
        QFETCH(QString, typed);
        QFETCH(QString, sent);
        QFETCH(QByteArray, answer);
        QFETCH(QString, outcome);
        if (sent.isEmpty())
            sent = typed;
        TestHttpServer server;
        server.setHandler([&](const TestRequest &, TestConnection *c) { c->send(answer + "0123456789"); });
        QVERIFY(server.start());
        const QStringList before = projectsListing();
        UrlProbe probe;
        for (int round = 0; round < 2; ++round) { // nothing of one probe stays for the next
            server.clearRecords();
            const Outcome o = runProbe(probe, server.baseUrl() + typed);
            QCOMPARE(o.text, outcome);
            QCOMPARE(probe.probeSocket()->State(), 0);
            if (sent == "-") {
                QCOMPARE(server.connectionCount(), 0);
                continue;
            }
            QCOMPARE(o.urlText, server.hostPort() + sent);
            QCOMPARE(server.requests().size(), 1);
            QCOMPARE(server.requests().first().raw, "GET " + sent.toUtf8() + " HTTP/1.1\r\n"
                     "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
                     "Accept-Language: fr\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)\r\n"
                     "Range: bytes=0-\r\nHost: " + server.hostPort().toUtf8() + "\r\nConnection: Keep-Alive\r\n\r\n");
            if (o.result.url.isEmpty())
                continue; // refused
            QCOMPARE(o.result.url, server.hostPort() + sent);
            QCOMPARE(o.result.packSize, o.result.rangesSupported ? kPackSetting : o.result.fileSize);
            // Fault: the file's validators lost, or taken from another answer.
            QCOMPARE(o.result.etag + o.result.lastModified, answer.contains("ETag") ? kEtag + kDate : QByteArray());
            QCOMPARE(probe.Txt_Recu, answer.chopped(4)); // the header without body bytes
        }
        QCOMPARE(projectsListing(), before); // a probe never writes a file
    }

    // Fault: a header judged before it is whole, or a later chunk judged again.
    void answerInPieces()
    {
        const QByteArray answer = partial("0-4241/4242", "4242") + "0123456789";
        const int cut = answer.indexOf("Content-Type") + 5;
        const QList<std::function<void(TestConnection *)>> ways = {
            [&](TestConnection *c) { c->send(answer.left(cut)).pause(60).send(answer.mid(cut)); },
            [&](TestConnection *c) { c->sendChunked(answer, 1, 2); },
            [&](TestConnection *c) { c->send(answer).pause(60).send("HTTP/1.1 500 Oops\r\nContent-Type: text/html\r\n\r\n"); }};
        for (const auto &way : ways) {
            TestHttpServer server;
            server.setHandler([&](const TestRequest &, TestConnection *c) { way(c); });
            QVERIFY(server.start());
            UrlProbe probe;
            QCOMPARE(runProbe(probe, server.baseUrl() + "/z.zip").text, "4242 z ranges");
        }
    }

    void redirections_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("location");   // "@": the server's host:port, "%": another server's
        QTest::addColumn<QString>("finalPath");  // "": never reached
        QTest::newRow("301 absolute") << "/r" << "http://@/d/f.bin" << "/d/f.bin";
        QTest::newRow("302 relative") << "/x/r?q=1" << "g.bin" << "/x/g.bin";
        // Fault: "../" of a Location sent to the server as it is.
        QTest::newRow("relative with dot segments") << "/x/y/r" << "../g.bin#frag" << "/x/g.bin";
        QTest::newRow("to another server") << "/get" << "http://%/Pub/Arch.Zip" << "/Pub/Arch.Zip";
        QTest::newRow("endless loop") << "/loop.bin" << "/loop.bin" << "";
    }

    void redirections()
    {
        QFETCH(QString, start);
        QFETCH(QString, location);
        QFETCH(QString, finalPath);
        TestHttpServer server, other;
        const QByteArray file = partial("0-4/5", "5") + "hello";
        other.setHandler([&](const TestRequest &, TestConnection *c) { c->send(file); });
        QVERIFY(server.start() && other.start());
        location.replace(QLatin1Char('@'), server.hostPort()).replace(QLatin1Char('%'), other.hostPort());
        TestHttpServer &files = location.contains(other.hostPort()) ? other : server;
        // Followed even as HTML, header names in any case; its own validators are not the file's.
        server.setHandler([&](const TestRequest &req, TestConnection *c) {
            c->send(req.target == finalPath.toUtf8() ? file
                    : TestHttpServer::head(302, "Found", {"content-TYPE: text/html", "LOCATION: " + location.toUtf8(),
                                                          "ETag: \"redirect\"", "Content-Length: 0"}));
        });
        UrlProbe probe;
        const Outcome o = runProbe(probe, server.baseUrl() + start);
        if (finalPath.isEmpty()) {
            QCOMPARE(o.text, kUnable);
            QCOMPARE(server.requests().size(), UrlProbe::MaxRedirections + 1);
            return;
        }
        QCOMPARE(o.text, "5 " + finalPath.section('/', -1).section('.', 0, 0) + " ranges");
        QCOMPARE(o.result.url, files.hostPort() + finalPath);
        QCOMPARE(o.result.etag + o.result.lastModified, kEtag + kDate);
        QCOMPARE(files.requests().last().target, finalPath.toUtf8());
        QCOMPARE(files.requests().last().header("Host"), files.hostPort().toUtf8());
    }

    // Fault: a probe left waiting forever, or reporting the wrong trouble.
    void noUsableAnswer()
    {
        TestHttpServer server;
        QVERIFY(server.start());
        UrlProbe probe;
        probe.setTimeoutInterval(300);
        const QString noAnswer = "Unable to connect to website !\r\n" + server.hostPort() + "/f.bin";
        QCOMPARE(runProbe(probe, server.baseUrl() + "/f.bin").text, noAnswer); // silent server
        server.setHandler([&](const TestRequest &, TestConnection *c) { c->close(); });
        QCOMPARE(runProbe(probe, server.baseUrl() + "/f.bin").text, noAnswer); // hangs up at once
        server.setHandler([&](const TestRequest &, TestConnection *c) { c->send("HTTP/1.1 206 OK\r\n" + kBin + "\r\n").close(); });
        QCOMPARE(runProbe(probe, server.baseUrl() + "/f.bin").text, kUnable); // hangs up inside the header
        server.stop();
        QCOMPARE(runProbe(probe, server.baseUrl() + "/f.bin").text,
                 "An error occured while connecting to website !\r\nPlease check your Internet connection or retry later !");
    }

    // Fault: two names made within one second are equal, so the second project
    // overwrites the first; or the fraction is written with a fixed width or an
    // exponent.
    void nameClash()
    {
        const QString store = ProgramFolder::projectsDir();
        QVERIFY(QDir().mkpath(store + "clash"));
        QFile taken(store + "taken");
        QVERIFY(taken.open(QIODevice::WriteOnly)); // a plain file counts too
        taken.close();
        for (const auto &[base, seconds, name] : QList<std::tuple<QString, double, QString>>{
                 {"clash", 64547.123, "clash_64547.12"}, {"clash", 64547.6, "clash_64547.6"},
                 {"taken", 5.25, "taken_5.25"}, {"clash", 0.001, "clash_0.001"}, {"clash", 0, "clash_0"},
                 {"clash", 86399.0, "clash_86399"}, {"free", 5.25, "free"}})
            QCOMPARE(UrlProbe::projectNameFor(base, store, seconds), name);

        // The probe takes the time of day during the probe (midnight may pass).
        TestHttpServer server;
        server.setHandler([&](const TestRequest &, TestConnection *c) { c->send(partial("0-4/5", "5")); });
        QVERIFY(server.start());
        UrlProbe probe;
        const double first = QTime::currentTime().msecsSinceStartOfDay() / 1000.0 - 0.01;
        const Outcome o = runProbe(probe, server.baseUrl() + "/clash.zip");
        const double last = QTime::currentTime().msecsSinceStartOfDay() / 1000.0 + 0.01;
        const QString name = o.result.projectName;
        QVERIFY2(QRegularExpression("^clash_\\d{1,5}(\\.\\d+)?$").match(name).hasMatch(), qPrintable(name));
        const double s = name.mid(6).toDouble();
        QVERIFY2(last < first ? (s >= first || s <= last) : (s >= first && s <= last), qPrintable(name));
    }

    // Fault: the in-test server's answers differ from a real server's.
    void realNginx()
    {
        QTemporaryDir root;
        QFile f(root.path() + "/f.bin");
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(700001, 'z')) == 700001);
        f.close();
        NginxServer nginx;
        QVERIFY2(nginx.start(root.path(), "location = /r { return 302 /f.bin; }"), qPrintable(nginx.lastError()));
        UrlProbe probe;
        Outcome o = runProbe(probe, nginx.baseUrl() + "/r");
        QCOMPARE(o.text, "700001 f ranges");
        QCOMPARE(o.result.url, nginx.hostPort() + "/f.bin");
        QVERIFY(o.result.etag.startsWith('"') && !o.result.lastModified.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestUrlProbe)
#include "test_url_probe.moc"
