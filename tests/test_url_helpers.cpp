#include "engine/ftp_parse.h"
#include "engine/http_parse.h"
#include "engine/url_helpers.h"

#include <QtTest>

class TestUrlHelpers : public QObject
{
    Q_OBJECT
private slots:
    void addresses_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("stripped");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("baseName");
        QTest::newRow("http") << "http://h/d/f.zip" << "h" << "/d/f.zip" << "h/d/f.zip" << "f.zip" << "f";
        QTest::newRow("no scheme") << "h/a.tar.gz" << "h" << "/a.tar.gz" << "h/a.tar.gz" << "a.tar.gz" << "a";
        QTest::newRow("nothing after host") << "http://h" << "h" << "/" << "h" << "h" << "";
        QTest::newRow("port stays in host, no dot") << "http://h:8080/get" << "h:8080" << "/get" << "h:8080/get"
                                                    << "get" << "";
        QTest::newRow("no slash") << "f.bin" << "f.bin" << "/" << "f.bin" << "f.bin" << "f";
        QTest::newRow("empty") << "" << "" << "" << "" << "" << "";
        QTest::newRow("first scheme only") << "ftp://h/get?u=http://x/y.z" << "h" << "/get?u=http://x/y.z"
                                           << "h/get?u=http://x/y.z" << "y.z" << "y";
        QTest::newRow("trailing slash") << "http://h/d/" << "h" << "/d/" << "h/d/" << "" << "";
        QTest::newRow("dot first") << "http://h/.profile" << "h" << "/.profile" << "h/.profile" << ".profile" << "";
    }

    // The project start splits the stored address again with Extract_URL2: the same results.
    void addresses()
    {
        QFETCH(QString, url);
        QFETCH(QString, host);
        QFETCH(QString, path);
        QFETCH(QString, stripped);
        QFETCH(QString, fileName);
        QFETCH(QString, baseName);
        for (auto split : {&Extract_URL, &Extract_URL2}) {
            QString text = url;
            QString gotPath = QStringLiteral("unset");
            QCOMPARE(split(text, &gotPath), host);
            QCOMPARE(gotPath, path);
            QCOMPARE(text, stripped);
        }
        QCOMPARE(Extract_FileName(url), fileName);
        QCOMPARE(Base_Name(fileName), baseName);
    }

    void safeNames()
    {
        for (const QString &name : {QStringLiteral("a.tar.gz"), QString::fromUtf8("mon fichier é")})
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
                                  "Location: /Mixed/Case.bin\r\n"
                                  "Empty:\r\n"
                                  "\r\n"
                                  "BODY";
        QVERIFY(HttpParse::headerComplete(header));
        QVERIFY(!HttpParse::headerComplete(header.left(header.indexOf("\r\n\r\n") + 3)));
        QCOMPARE(HttpParse::bodyStart(header), QByteArray("BODY"));
        QCOMPARE(HttpParse::statusCode(header), 206);
        QCOMPARE(HttpParse::headerValue(header, "Content-Type"), QByteArray("application/zip"));
        QCOMPARE(HttpParse::headerValue(header, "location"), QByteArray("/Mixed/Case.bin"));
        bool found = false;
        QCOMPARE(HttpParse::headerValue(header, "Empty", &found), QByteArray());
        QVERIFY(found);
        QVERIFY(!HttpParse::hasHeader(header, "Content-Range"));
        // A name inside another header's value is not that header.
        bool ok = false;
        QCOMPARE(HttpParse::contentLength(header, &ok), qint64(1234));
        QVERIFY(ok);
        HttpParse::contentLength("HTTP/1.1 200 OK\r\nContent-Type: a/b\r\n\r\n", &ok);
        QVERIFY(!ok);
        // The body is never read as header lines.
        QVERIFY(!HttpParse::hasHeader("HTTP/1.1 200 OK\r\n\r\nContent-Type: x\r\n", "Content-Type"));

        QCOMPARE(HttpParse::statusCode("HTTP/1.0 302 Found\r\n"), 302);
        QCOMPARE(HttpParse::statusCode("HTTP/1.1 200"), 200);
        QCOMPARE(HttpParse::statusCode("HTTP/1.1 2000 OK\r\n"), -1);
        QCOMPARE(HttpParse::statusCode("ICY 200 OK\r\n"), -1);
    }

    // The numbers of a header line, as "length" or "first-last/total"; empty when refused.
    void httpNumbers_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("expected");
        QTest::newRow("length zero") << QByteArray("Content-Length: 0") << "0";
        QTest::newRow("length 2^31") << QByteArray("Content-Length:  2147483648 ") << "2147483648";
        QTest::newRow("length max") << QByteArray("Content-Length: 9223372036854775807") << "9223372036854775807";
        QTest::newRow("length too large") << QByteArray("Content-Length: 9223372036854775808") << "";
        QTest::newRow("length negative") << QByteArray("Content-Length: -1") << "";
        QTest::newRow("length trailing junk") << QByteArray("Content-Length: 12abc") << "";
        QTest::newRow("length empty") << QByteArray("Content-Length:") << "";
        QTest::newRow("range whole") << QByteArray("Content-Range: bytes 0-1233/1234") << "0-1233/1234";
        QTest::newRow("range large") << QByteArray("Content-Range: bytes 3000000000-3000511999/6000000000")
                                     << "3000000000-3000511999/6000000000";
        QTest::newRow("range unknown total") << QByteArray("Content-Range: bytes 10-19/*") << "10-19/-1";
        QTest::newRow("range last before first") << QByteArray("Content-Range: bytes 20-10/100") << "";
        QTest::newRow("range last beyond total") << QByteArray("Content-Range: bytes 0-100/100") << "";
        QTest::newRow("range unsatisfied") << QByteArray("Content-Range: bytes */100") << "";
    }

    void httpNumbers()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, expected);
        const QByteArray header = "HTTP/1.1 206 Partial Content\r\n" + line + "\r\n\r\n";
        bool ok = false;
        QString got;
        if (line.startsWith("Content-Length")) {
            got = QString::number(HttpParse::contentLength(header, &ok));
        } else {
            HttpParse::ContentRange r;
            ok = HttpParse::contentRange(header, &r);
            got = QStringLiteral("%1-%2/%3").arg(r.first).arg(r.last).arg(r.total);
        }
        QCOMPARE(ok ? got : QString(), expected);
    }

    void ftpReplies()
    {
        QByteArray buffer = "220 ready\r\n331 Send password\r\n230 Lo";
        QCOMPARE(FtpParse::takeCompleteLines(buffer), QByteArray("220 ready\r\n331 Send password\r\n"));
        QCOMPARE(buffer, QByteArray("230 Lo"));

        QCOMPARE(FtpParse::replyCode("213 1234"), 213);
        QCOMPARE(FtpParse::replyCode("21"), -1);
        QVERIFY(FtpParse::isFinalReplyLine("220 ready"));
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
        QVERIFY(FtpParse::containsErrorCode("530 Login incorrect.\r\n"));
        QVERIFY(!FtpParse::containsErrorCode("220 ready\r\n331 ok\r\n230 in\r\n200 Type set\r\n"));
        QVERIFY(!FtpParse::containsErrorCode("505 x\r\n554 y\r\n531 z\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestUrlHelpers)
#include "test_url_helpers.moc"
