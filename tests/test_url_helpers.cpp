#include "engine/ftp_parse.h"
#include "engine/http_parse.h"
#include "engine/url_helpers.h"

#include <QtTest>

class TestUrlHelpers : public QObject
{
    Q_OBJECT
private slots:
    // Splitting, as the probe (Extract_URL) and the project start (Extract_URL2)
    // do it; the start's path is what the transfer slots put on the request line.
    void addresses_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("baseName");
        QTest::newRow("http") << "http://h/d/f.zip" << "h" << "/d/f.zip" << "f.zip" << "f";
        QTest::newRow("several dots") << "h/a.tar.gz" << "h" << "/a.tar.gz" << "a.tar.gz" << "a";
        QTest::newRow("nothing after host") << "http://h" << "h" << "/" << "h" << "";
        QTest::newRow("port stays in host") << "http://h:8080/get" << "h:8080" << "/get" << "get" << "";
        QTest::newRow("empty") << "" << "" << "" << "" << "";
        QTest::newRow("dot first") << "http://h/.profile" << "h" << "/.profile" << ".profile" << "";
        // Fault: the query or fragment ends up in the name on disk, or is sent.
        QTest::newRow("query and fragment") << "http://h/d/f.zip?a=b/c#top" << "h" << "/d/f.zip?a=b/c" << "f.zip" << "f";
        // Fault: a "://" inside the query taken for the scheme.
        QTest::newRow("scheme only before the path") << "h/get?u=http://x/y.z" << "h" << "/get?u=http://x/y.z"
                                                     << "get" << "";
        // Fault: a project stored with a raw space sends a broken request line.
        QTest::newRow("stored raw") << "h/d/my file.zip" << "h" << "/d/my%20file.zip" << "my file.zip" << "my file";
    }

    void addresses()
    {
        QFETCH(QString, url);
        QFETCH(QString, host);
        QFETCH(QString, path);
        QFETCH(QString, fileName);
        QFETCH(QString, baseName);
        for (auto split : {&Extract_URL, &Extract_URL2}) {
            QString text = url, gotPath = QStringLiteral("unset");
            QCOMPARE(split(text, &gotPath), host);
            QCOMPARE(gotPath, path);
        }
        QCOMPARE(Extract_FileName(url), fileName);
        QCOMPARE(Base_Name(fileName), baseName);
    }

    // The form an address is stored and requested in; "" = refused.
    void safeForm_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("safe");
        QTest::newRow("space") << "http://h/d/my file.zip" << "http://h/d/my%20file.zip";
        QTest::newRow("fragment") << "h/d/f.zip#part2" << "h/d/f.zip";
        QTest::newRow("non-ASCII as UTF-8") << QString::fromUtf8("h/caf\u00e9.bin") << "h/caf%C3%A9.bin";
        QTest::newRow("escapes kept, lone % encoded") << "h/a%20b%zz.bin" << "h/a%20b%25zz.bin";
        QTest::newRow("not allowed in a target") << "h/x\"<>\\^`{|}[].bin" << "h/x%22%3C%3E%5C%5E%60%7B%7C%7D%5B%5D.bin";
        QTest::newRow("kept as they are") << "h/a-._~!$&'()*+,;=:@b" << "h/a-._~!$&'()*+,;=:@b";
        QTest::newRow("dot segments") << "h/a/b/../../c/./d.bin" << "h/c/d.bin";
        QTest::newRow("never above the root") << "http://h/../../etc/f.bin" << "http://h/etc/f.bin";
        QTest::newRow("trailing dot dot") << "h/a/b/.." << "h/a/";
        QTest::newRow("query keeps / and ?") << "h/d/?q=a b&r=/x/../y?z" << "h/d/?q=a%20b&r=/x/../y?z";
        QTest::newRow("query after the host") << "h?q=1" << "h/?q=1";
        QTest::newRow("host alone") << "http://h" << "http://h";
        QTest::newRow("CR LF injects a header") << "h/f.zip\r\nX-Injected: 1" << "";
        QTest::newRow("tab") << "h/f\t.zip" << "";
        QTest::newRow("DEL") << "h/f\x7f.zip" << "";
    }

    void safeForm()
    {
        QFETCH(QString, url);
        QFETCH(QString, safe);
        QString got = QStringLiteral("untouched");
        QCOMPARE(Safe_Url(url, &got), !safe.isEmpty());
        QCOMPARE(got, safe.isEmpty() ? QStringLiteral("untouched") : safe);
        // Fault: a stored address encoded again on every start ("%20" -> "%2520").
        QString again;
        if (!safe.isEmpty() && Safe_Url(safe, &again))
            QCOMPARE(again, safe);
    }

    // Location values against "h" + "/a/b/c.zip?x", then made safe like any address.
    void redirections_data()
    {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("target");
        QTest::newRow("relative with ..") << "../x/f.zip" << "http://h/a/x/f.zip";
        QTest::newRow("absolute path with dots") << "/d/./e/../f.zip" << "http://h/d/f.zip";
        QTest::newRow("beside the file") << "g bin.zip" << "http://h/a/b/g%20bin.zip";
        QTest::newRow("query only") << "?y=2" << "http://h/a/b/c.zip?y=2";
        QTest::newRow("other host") << "//o/f.zip" << "http://o/f.zip";
        QTest::newRow("with scheme") << "ftp://o/p/../f.zip#frag" << "ftp://o/f.zip";
    }

    void redirections()
    {
        QFETCH(QString, location);
        QFETCH(QString, target);
        QString safe;
        QVERIFY(Safe_Url(Resolve_Location("h", "/a/b/c.zip?x", location), &safe));
        QCOMPARE(safe, target);
    }

    void ftpPathAndNames()
    {
        // Fault: an FTP command naming "%20" instead of the space, or a decoded
        // line break that starts a command of its own.
        QString decoded;
        QVERIFY(Ftp_Path("/my%20file.bin", &decoded));
        QCOMPARE(decoded, "/my file.bin");
        QVERIFY(!Ftp_Path("/a%0D%0ADELE%20x", &decoded));

        // Fault: a name from an address that climbs out of its folder.
        for (const QString &name : {QStringLiteral("a.tar.gz"), QString::fromUtf8("mon fichier é"), QStringLiteral("f_64547.12")})
            QVERIFY2(Is_Safe_Name(name), qPrintable(name));
        for (const QString &name : {QString(), QStringLiteral("."), QStringLiteral(".."), QStringLiteral("a/b"),
                                    QStringLiteral("..\\x"), QStringLiteral("a\nb"), QString(QChar(0x7f))})
            QVERIFY2(!Is_Safe_Name(name), qPrintable(name));
    }

    void httpHeader()
    {
        const QByteArray header = "HTTP/1.1 206 Partial Content\r\n"
                                  "content-TYPE :  application/zip \r\n"
                                  "X-Note: Content-Length: 5\r\n"
                                  "Content-Length: 1234\r\n"
                                  "Empty:\r\n"
                                  "\r\n"
                                  "Location: /body";
        QVERIFY(!HttpParse::headerComplete(header.left(header.indexOf("\r\n\r\n") + 3)));
        QCOMPARE(HttpParse::bodyStart(header), QByteArray("Location: /body"));
        QCOMPARE(HttpParse::statusCode(header), 206);
        QCOMPARE(HttpParse::headerValue(header, "Content-Type"), QByteArray("application/zip"));
        bool found = false;
        QCOMPARE(HttpParse::headerValue(header, "Empty", &found), QByteArray());
        QVERIFY(found);
        // Neither a name inside another value nor the body is a header.
        bool ok = false;
        QCOMPARE(HttpParse::contentLength(header, &ok), qint64(1234));
        QVERIFY(!HttpParse::hasHeader(header, "Location"));
        for (const auto &[line, code] : QList<QPair<QByteArray, int>>{
                 {"HTTP/1.0 302 Found", 302}, {"HTTP/1.1 200", 200}, {"HTTP/1.1 2000 OK", -1}, {"ICY 200 OK", -1}})
            QCOMPARE(HttpParse::statusCode(line + "\r\n"), code);
    }

    // A header line's numbers as "length", "first-last/total" or "*/total"; "" when refused.
    void httpNumbers_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("expected");
        QTest::newRow("length 2^31") << QByteArray("Content-Length:  2147483648 ") << "2147483648";
        QTest::newRow("length max") << QByteArray("Content-Length: 9223372036854775807") << "9223372036854775807";
        QTest::newRow("length too large") << QByteArray("Content-Length: 9223372036854775808") << "";
        QTest::newRow("length negative") << QByteArray("Content-Length: -1") << "";
        QTest::newRow("length trailing junk") << QByteArray("Content-Length: 12abc") << "";
        QTest::newRow("length empty") << QByteArray("Content-Length:") << "";
        QTest::newRow("range large") << QByteArray("Content-Range: bytes 3000000000-3000511999/6000000000")
                                     << "3000000000-3000511999/6000000000";
        QTest::newRow("range unknown total") << QByteArray("Content-Range: bytes 10-19/*") << "10-19/-1";
        QTest::newRow("range last before first") << QByteArray("Content-Range: bytes 20-10/100") << "";
        QTest::newRow("range last beyond total") << QByteArray("Content-Range: bytes 0-100/100") << "";
        QTest::newRow("unsatisfied, empty file") << QByteArray("Content-Range: bytes */0") << "*/0";
        QTest::newRow("unsatisfied") << QByteArray("Content-Range: bytes */100") << "*/100";
        QTest::newRow("unsatisfied, no number") << QByteArray("Content-Range: bytes */x") << "";
    }

    void httpNumbers()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, expected);
        const QByteArray header = "HTTP/1.1 206 Partial Content\r\n" + line + "\r\n\r\n";
        bool ok = false;
        QString got;
        HttpParse::ContentRange r;
        qint64 total = -1;
        if (line.startsWith("Content-Length"))
            got = QString::number(HttpParse::contentLength(header, &ok));
        else if ((ok = HttpParse::contentRange(header, &r)))
            got = QStringLiteral("%1-%2/%3").arg(r.first).arg(r.last).arg(r.total);
        else if ((ok = HttpParse::unsatisfiedRange(header, &total)))
            got = QStringLiteral("*/%1").arg(total);
        QCOMPARE(ok ? got : QString(), expected);
    }

    void ftpReplies()
    {
        QByteArray buffer = "220 ready\r\n331 Send password\r\n230 Lo";
        QCOMPARE(FtpParse::takeCompleteLines(buffer), QByteArray("220 ready\r\n331 Send password\r\n"));
        QCOMPARE(buffer, QByteArray("230 Lo"));
        QVERIFY(!FtpParse::isFinalReplyLine("220-welcome"));
        // Trailing characters that are not digits are dropped before converting; -1: no size.
        for (const auto &[reply, size] : QList<QPair<QByteArray, qint64>>{
                 {"331 ok\r\n213 5000000000\r\n350 Restarting\r\n", 5000000000LL}, {"213 1234 bytes\r\n", 1234},
                 {"213 size unknown\r\n", -1}, {"213 12 34\r\n", -1}}) {
            QByteArray value;
            bool ok = false;
            QVERIFY(FtpParse::findSizeReply(reply, &value));
            const qint64 got = FtpParse::sizeValue(value, &ok);
            QCOMPARE(ok ? got : -1, size);
        }
        QByteArray value;
        QVERIFY(!FtpParse::findSizeReply("2130 x\r\n", &value));
        QVERIFY(FtpParse::containsErrorCode("550 /missing.bin: No such file\r\n"));
        QVERIFY(FtpParse::containsErrorCode("220 Server with 500 users\r\n"));
        QVERIFY(!FtpParse::containsErrorCode("220 ready\r\n331 ok\r\n230 in\r\n200 Type set\r\n"));
        QVERIFY(!FtpParse::containsErrorCode("505 x\r\n554 y\r\n531 z\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestUrlHelpers)
#include "test_url_helpers.moc"
