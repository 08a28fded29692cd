#include "core/program_folder.h"
#include "core/settings.h"
#include "core/winsock.h"
#include "engine/url_probe.h"
#include "support/ftp_server.h"
#include "support/test_http_server.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kUnable = QStringLiteral("Unable to use the high speed download method on this server !");
const QString kNotFile = QStringLiteral("File not found or the URL don't point on a file !");
const QString kFtpError = QStringLiteral("Unable to use the high speed download method on this server or file not found !");
const QByteArray kEtag = "\"v1\"", kDate = "Sat, 05 Dec 2026 10:00:00 GMT";
const QByteArray kBin = "Content-Type: application/octet-stream";
const QList<QByteArray> kValidators = {"ETag: " + kEtag, "Last-Modified: " + kDate};

QByteArray head(int status, QList<QByteArray> lines, const QList<QByteArray> &more = {})
{
    return TestHttpServer::head(status, "X", lines + more);
}
QByteArray partial(const QByteArray &range, const QByteArray &length)
{
    return head(206, {kBin, "Content-Range: bytes " + range, "Content-Length: " + length}, kValidators);
}

// One probe run: "size name ranges" of a success or the message of a failure.
struct Outcome
{
    QString text, urlText;
    ProbeResult result;
};

Outcome runProbe(UrlProbe &probe, const QString &url)
{
    Outcome o;
    QObject ctx;
    QObject::connect(&probe, &UrlProbe::succeeded, &ctx, [&](const ProbeResult &r) {
        o.text += QStringLiteral("%1 %2 %3").arg(r.fileSize).arg(r.projectName, r.rangesSupported ? "ranges" : "whole");
        o.result = r;
    });
    QObject::connect(&probe, &UrlProbe::failed, &ctx, [&](const QString &title, const QString &text) { o.text += title + ": " + text; });
    QObject::connect(&probe, &UrlProbe::urlTextChanged, &ctx, [&](const QString &t) { o.urlText = t; });
    QSignalSpy finished(&probe, &UrlProbe::finished);
    probe.start(url);
    if (finished.isEmpty() && !finished.wait(60000))
        o.text += " (no end)";
    o.text.remove(QStringLiteral("Error: ")); // a second report stays visible after the first
    return o;
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
        Settings::write(QStringLiteral("packsize"), 1024000);
    }

    // Fault: an "ftp" host probed over HTTP or the reverse. No answer is awaited from these hosts.
    void ftpOrHttp()
    {
        for (const char *url : {"http://ftp.h.invalid/f.bin", "ftp.h.invalid/f.bin", "FTP://h.invalid/f.bin"}) {
            UrlProbe probe;
            probe.start(url);
            QCOMPARE(probe.Test_Link_FTP, qstrncmp(url, "http", 4) != 0);
        }
    }

    // What the probe makes of each answer to typed, followed by body bytes that look like another header.
    // "sent": the request target the server must get, kept after the host ("" = typed, "-" = no request).
    void answers_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("piece"); // > 0: sent in pieces of this many bytes
        QTest::addColumn<QString>("outcome");
        const QByteArray len = "Content-Length: 100", small = partial("0-4241/4242", "4242");
        QTest::newRow("206") << "/d/f.zip" << "" << partial("0-699999/700000", "700000") << 0 << "700000 f ranges";
        // Fault: ranges assumed, or validators invented, for a plain 200.
        QTest::newRow("200: no ranges") << "/f.zip" << "" << head(200, {kBin, "Content-Length: 7"}) << 0 << "7 f whole";
        QTest::newRow("beyond 4 GiB") << "/b.iso" << "" << partial("0-4999999999/5000000000", "5") << 0 << "5000000000 b ranges";
        // Fault: the length of a capped answer taken for the file's size.
        QTest::newRow("capped 206") << "/c.bin" << "" << partial("0-1048575/3000000", "1048576") << 0 << "3000000 c ranges";
        // Fault: an empty file refused as "not found".
        QTest::newRow("empty file, 416") << "/e.txt" << "" << head(416, {"Content-Type: text/html", "Content-Range: bytes */0"},
                                                                   kValidators) << 0 << "0 e ranges";
        // Fault: a header judged before it is whole, or body bytes judged as a header.
        QTest::newRow("one byte at a time") << "/z.zip" << "" << small << 1 << "4242 z ranges";
        // Fault: a raw space breaks the request line; the fragment is sent or named.
        QTest::newRow("space and fragment") << "/d/my file.zip#x" << "/d/my%20file.zip" << small << 0 << "4242 my%20file ranges";
        QTest::newRow("dot segments") << "/a/../b/./f.zip" << "/b/f.zip" << small << 0 << "4242 f ranges";
        QTest::newRow("text/html") << "/f.zip" << "" << head(200, {"Content-Type: Text/HTML", len}) << 0 << kNotFile;
        QTest::newRow("no Content-Type") << "/f.zip" << "" << head(206, {len}) << 0 << kUnable;
        QTest::newRow("no length") << "/f.zip" << "" << head(206, {kBin}) << 0 << kUnable;
        QTest::newRow("redirect without Content-Type") << "/f.zip" << "" << head(302, {"Location: /g.zip", len}) << 0 << kUnable;
        QTest::newRow("not found, not html") << "/f.zip" << "" << head(404, {"Content-Type: text/plain", len}) << 0 << kNotFile;
        // Fault: any 416 taken for an empty file; a 206 not from byte 0 taken for the file.
        QTest::newRow("416 of a non-empty file") << "/f.zip" << "" << head(416, {kBin, "Content-Range: bytes */5"}) << 0 << kNotFile;
        QTest::newRow("206 not from byte 0") << "/f.zip" << "" << partial("100-199/1000", "100") << 0 << kUnable;
        QTest::newRow("file name without dot") << "/get" << "" << small << 0 << kUnable;
        QTest::newRow("empty base name") << "/.profile" << "" << small << 0 << kNotFile;
        QTest::newRow("no status line") << "/f.zip" << "" << "garbage\r\n" + kBin + "\r\n" + len + "\r\n\r\n" << 0 << kNotFile;
        // Fault: a line break in the address sent as header lines of its own.
        QTest::newRow("control character") << "/f.zip\r\nX-Injected: 1" << "-" << small << 0 << kNotFile;
    }

    void answers()
    {
        QFETCH(QString, typed);
        QFETCH(QString, sent);
        QFETCH(QByteArray, answer);
        QFETCH(int, piece);
        QFETCH(QString, outcome);
        sent = sent.isEmpty() ? typed : sent;
        TestHttpServer server;
        server.setHandler([&](const TestRequest &, TestConnection *c) {
            const QByteArray all = answer + "HTTP/1.1 500 Oops\r\nContent-Type: text/html\r\n\r\n";
            piece ? (void)c->sendChunked(all, piece, 2) : (void)c->send(all);
        });
        QVERIFY(server.start());
        UrlProbe probe;
        for (int round = 0; round < 2; ++round) { // nothing of one probe stays for the next
            server.clearRecords();
            const Outcome o = runProbe(probe, server.baseUrl() + typed);
            QCOMPARE(o.text, outcome);
            QCOMPARE(probe.probeSocket()->State(), 0);
            QCOMPARE(server.requests().size(), sent == "-" ? 0 : 1);
            if (sent == "-")
                continue;
            QCOMPARE(o.urlText, server.hostPort() + sent);
            QCOMPARE(server.requests().first().raw, "GET " + sent.toUtf8() + " HTTP/1.1\r\n"
                     "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\nAccept-Language: fr\r\n"
                     "User-Agent: Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)\r\nRange: bytes=0-\r\nHost: "
                     + server.hostPort().toUtf8() + "\r\nConnection: Keep-Alive\r\n\r\n");
            if (o.result.url.isEmpty())
                continue; // refused
            QCOMPARE(o.result.url, server.hostPort() + sent);
            QCOMPARE(o.result.packSize, o.result.rangesSupported ? 1024000 : o.result.fileSize);
            // Fault: the file's validators lost, or taken from another answer.
            QCOMPARE(o.result.etag + o.result.lastModified, answer.contains("ETag") ? kEtag + kDate : QByteArray());
        }
    }

    void redirections_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("location");   // "@": the server's host:port, "%": another server's
        QTest::addColumn<QString>("finalPath");  // "": never reached
        QTest::newRow("301 absolute") << "/r" << "http://@/d/f.bin" << "/d/f.bin";
        // Fault: "../" of a Location sent to the server as it is.
        QTest::newRow("relative with dot segments") << "/x/y/r?q=1" << "../g.bin#frag" << "/x/g.bin";
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
            c->send(req.target == finalPath.toUtf8() ? file : head(302, {"content-TYPE: text/html", "LOCATION: "
                                                                         + location.toUtf8(), "ETag: \"redirect\""}));
        });
        UrlProbe probe;
        const Outcome o = runProbe(probe, server.baseUrl() + start);
        if (finalPath.isEmpty()) { // the first answer and ten followed redirections
            QCOMPARE(o.text + QString::number(server.requests().size()), kUnable + "11");
            return;
        }
        QCOMPARE(o.text, "5 " + finalPath.section('/', -1).section('.', 0, 0) + " ranges");
        QCOMPARE(o.result.url, files.hostPort() + finalPath);
        QCOMPARE(o.result.etag + o.result.lastModified, kEtag + kDate);
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
    // overwrites the first; the fraction written with a fixed width or an exponent.
    void nameClash()
    {
        const QString store = ProgramFolder::projectsDir();
        QFile taken(store + "taken");
        QVERIFY(QDir().mkpath(store + "clash") && taken.open(QIODevice::WriteOnly)); // a plain file counts too
        for (const auto &[base, seconds, name] : QList<std::tuple<QString, double, QString>>{
                 {"clash", 64547.123, "clash_64547.12"}, {"clash", 64547.6, "clash_64547.6"}, {"taken", 5.25, "taken_5.25"},
                 {"clash", 0.001, "clash_0.001"}, {"clash", 86399.0, "clash_86399"}, {"free", 5.25, "free"}})
            QCOMPARE(UrlProbe::projectNameFor(base, store, seconds), name);
    }

    // Fault: the probe misreads a real FTP server (pyftpdlib) or its 550, or
    // names a file by its escapes.
    void ftpServer()
    {
        QTemporaryDir root;
        for (const auto &[name, size] : {std::pair{"/f.bin", 1234567}, std::pair{"/a b.bin", 9}}) {
            QFile f(root.path() + name);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(size, 'k')) == size);
        }
        FtpServer ftp;
        QVERIFY2(ftp.start(root.path()), qPrintable(ftp.lastError()));
        UrlProbe probe;
        const Outcome o = runProbe(probe, ftp.baseUrl() + "/f.bin");
        QCOMPARE(o.text, "1234567 f ranges");
        QVERIFY(o.result.ftp && o.result.etag.isEmpty() && o.result.packSize == 1024000 && o.result.url == ftp.hostPort() + "/f.bin");
        QCOMPARE(runProbe(probe, ftp.baseUrl() + "/a b.bin").result.url, ftp.hostPort() + "/a%20b.bin");
        QCOMPARE(runProbe(probe, ftp.baseUrl() + "/missing.bin").text, kFtpError);
    }

    // A scripted FTP server; "@" stands for the greeting and log-in replies. Each
    // piece goes out 40 ms after the previous one, whatever the probe sent.
    void ftpReplies_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("beyond 2 GiB") << "/dir/x.iso" << QList<QByteArray>{"@", "213 6000000000\r\n"} << "6000000000 x ranges";
        QTest::newRow("split, trailing text") << "/s.bin" << QList<QByteArray>{"@", "21", "3 40", "96 bytes\r\n"} << "4096 s ranges";
        QTest::newRow("not a number") << "/s.bin" << QList<QByteArray>{"@", "213 99999999999999999999\r\n"} << kUnable;
        QTest::newRow("greeting holds 500") << "/s.bin" << QList<QByteArray>{"220 at most 500 users\r\n", "213 10\r\n"} << kFtpError;
        // Fault: an escaped line break decoded into a command of its own.
        QTest::newRow("escaped line break") << "/a%0D%0ADELE%20x.bin" << QList<QByteArray>{"@"} << kNotFile;
        QTest::newRow("no decisive reply") << "/s.bin" << QList<QByteArray>{"@"} << kNotFile;
    }

    void ftpReplies()
    {
        QFETCH(QString, path);
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QString, outcome);
        TestHttpServer server;
        QByteArray received; // no request header ever ends, so the connection keeps every byte
        bool gone = false;
        server.setConnectHandler([&](TestConnection *c) {
            QObject::connect(c, &TestConnection::disconnected, c, [&] { gone = true; });
            QObject::connect(c->socket(), &QTcpSocket::readyRead, c, [&, c] { received = c->pending(); });
            for (const QByteArray &p : pieces)
                c->pause(40).send(p == "@" ? "220 ready\r\n331 ok\r\n230 in\r\n200 binary\r\n" : p);
        });
        QVERIFY(server.start());
        UrlProbe probe;
        probe.findChild<QTimer *>(QStringLiteral("Timer_Test_FTP"))->setInterval(outcome == kNotFile ? 300 : 3000);
        QCOMPARE(runProbe(probe, "ftp://" + server.hostPort() + path).text, outcome);
        QTRY_VERIFY(gone);
        // The whole batch at once, without waiting for the greeting, then QUIT.
        QCOMPARE(received, path.contains('%') ? QByteArray() : "User anonymous\r\nPass " + QByteArray(UrlProbe::AnonymousPassword)
                 + "\r\nTYPE I\r\nSIZE " + path.toUtf8() + "\r\nREST 10\r\nQUIT\r\n");
    }
};

QTEST_GUILESS_MAIN(TestUrlProbe)
#include "test_url_probe.moc"
