#include "engine/ftp_parse.h"
#include "engine/http_parse.h"
#include "engine/url_helpers.h"

#include <QtTest>

class TestUrlHelpers : public QObject
{
    Q_OBJECT
private slots:
    void splitting_data();
    void splitting();
    void secondSplitterAgrees();
    void fileNames_data();
    void fileNames();
    void safeNames_data();
    void safeNames();
    void httpHeader();
    void httpContentLength_data();
    void httpContentLength();
    void httpContentRange_data();
    void httpContentRange();
    void ftpReplies();
};

void TestUrlHelpers::splitting_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("stripped");

    QTest::newRow("http") << "http://h/d/f.zip" << "h" << "/d/f.zip" << "h/d/f.zip";
    QTest::newRow("no scheme") << "h/d/f.zip" << "h" << "/d/f.zip" << "h/d/f.zip";
    QTest::newRow("ftp") << "ftp://ftp.h/pub/f.bin" << "ftp.h" << "/pub/f.bin" << "ftp.h/pub/f.bin";
    QTest::newRow("nothing after host") << "http://h" << "h" << "/" << "h";
    QTest::newRow("host and slash") << "http://h/" << "h" << "/" << "h/";
    QTest::newRow("port stays in host") << "http://h:8080/f.bin" << "h:8080" << "/f.bin" << "h:8080/f.bin";
    QTest::newRow("port, no path") << "h:8080" << "h:8080" << "/" << "h:8080";
    QTest::newRow("empty") << "" << "" << "" << "";
    QTest::newRow("first scheme only") << "http://h/get?u=http://x/y" << "h" << "/get?u=http://x/y"
                                       << "h/get?u=http://x/y";
    QTest::newRow("upper-case scheme") << "HTTP://H/F.ZIP" << "H" << "/F.ZIP" << "H/F.ZIP";
}

void TestUrlHelpers::splitting()
{
    QFETCH(QString, url);
    QFETCH(QString, host);
    QFETCH(QString, path);
    QFETCH(QString, stripped);

    QString text = url;
    QString gotPath = QStringLiteral("unset");
    QCOMPARE(Extract_URL(text, &gotPath), host);
    QCOMPARE(gotPath, path);
    QCOMPARE(text, stripped);
}

void TestUrlHelpers::secondSplitterAgrees()
{
    // The project start splits the stored address with the second helper; it
    // must find what the probe found.
    for (const QString &url : {QStringLiteral("http://h/d/f.zip"), QStringLiteral("h:81/x.y"),
                               QStringLiteral("ftp://ftp.h"), QString()}) {
        QString a = url;
        QString b = url;
        QString pathA;
        QString pathB;
        QCOMPARE(Extract_URL2(b, &pathB), Extract_URL(a, &pathA));
        QCOMPARE(pathB, pathA);
        QCOMPARE(b, a);
    }
}

void TestUrlHelpers::fileNames_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("baseName");

    QTest::newRow("plain") << "http://h/d/f.zip" << "f.zip" << "f";
    QTest::newRow("several dots") << "http://h/a.tar.gz" << "a.tar.gz" << "a";
    QTest::newRow("nothing after host") << "http://h" << "h" << "";
    QTest::newRow("no dot") << "http://h/get" << "get" << "";
    QTest::newRow("no slash") << "f.bin" << "f.bin" << "f";
    QTest::newRow("trailing slash") << "http://h/d/" << "" << "";
    QTest::newRow("leading dot") << "http://h/.profile" << ".profile" << "";
    QTest::newRow("ftp without scheme") << "ftp.h/f.bin" << "f.bin" << "f";
}

void TestUrlHelpers::fileNames()
{
    QFETCH(QString, url);
    QFETCH(QString, fileName);
    QFETCH(QString, baseName);
    QCOMPARE(Extract_FileName(url), fileName);
    QCOMPARE(Base_Name(Extract_FileName(url)), baseName);
}

void TestUrlHelpers::safeNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << "f" << true;
    QTest::newRow("with dots inside") << "a.tar.gz" << true;
    QTest::newRow("spaces and unicode") << QString::fromUtf8("mon fichier é") << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("slash") << "a/b" << false;
    QTest::newRow("backslash") << "..\\x" << false;
    QTest::newRow("newline") << "a\nb" << false;
    QTest::newRow("nul") << QString(QChar(0)) << false;
    QTest::newRow("delete") << QString(QChar(0x7f)) << false;
}

void TestUrlHelpers::safeNames()
{
    QFETCH(QString, name);
    QFETCH(bool, safe);
    QCOMPARE(Is_Safe_Name(name), safe);
}

void TestUrlHelpers::httpHeader()
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
    QVERIFY(!HttpParse::headerText(header).contains("BODY"));
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
    // The body is never read as header lines.
    QVERIFY(!HttpParse::hasHeader("HTTP/1.1 200 OK\r\n\r\nContent-Type: x\r\n", "Content-Type"));

    QCOMPARE(HttpParse::statusCode("HTTP/1.0 302 Found\r\n"), 302);
    QCOMPARE(HttpParse::statusCode("HTTP/1.1 200"), 200);
    QCOMPARE(HttpParse::statusCode("http/1.1 404 Not Found\r\n"), 404);
    QCOMPARE(HttpParse::statusCode("HTTP/1.1 2000 OK\r\n"), -1);
    QCOMPARE(HttpParse::statusCode("ICY 200 OK\r\n"), -1);
    QCOMPARE(HttpParse::statusCode("HTTP/1.1 OK 301\r\n"), -1);
}

void TestUrlHelpers::httpContentLength_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("length");
    QTest::newRow("zero") << QByteArray("0") << true << qint64(0);
    QTest::newRow("above 2 GiB") << QByteArray("2147483648") << true << qint64(2147483648LL);
    QTest::newRow("above 4 GiB") << QByteArray(" 5000000000 ") << true << qint64(5000000000LL);
    QTest::newRow("largest") << QByteArray("9223372036854775807") << true
                             << qint64(9223372036854775807LL);
    QTest::newRow("too large") << QByteArray("9223372036854775808") << false << qint64(0);
    QTest::newRow("negative") << QByteArray("-1") << false << qint64(0);
    QTest::newRow("plus sign") << QByteArray("+5") << false << qint64(0);
    QTest::newRow("words") << QByteArray("lots") << false << qint64(0);
    QTest::newRow("trailing junk") << QByteArray("12abc") << false << qint64(0);
    QTest::newRow("empty") << QByteArray("") << false << qint64(0);
}

void TestUrlHelpers::httpContentLength()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, ok);
    QFETCH(qint64, length);
    const QByteArray header = "HTTP/1.1 200 OK\r\nContent-Length: " + value + "\r\n\r\n";
    bool gotOk = !ok;
    const qint64 got = HttpParse::contentLength(header, &gotOk);
    QCOMPARE(gotOk, ok);
    if (ok)
        QCOMPARE(got, length);

    gotOk = true;
    HttpParse::contentLength("HTTP/1.1 200 OK\r\nContent-Type: a/b\r\n\r\n", &gotOk);
    QVERIFY(!gotOk);
}

void TestUrlHelpers::httpContentRange_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<qint64>("total");
    QTest::newRow("whole") << QByteArray("bytes 0-1233/1234") << true << qint64(0) << qint64(1233)
                           << qint64(1234);
    QTest::newRow("middle, large") << QByteArray("bytes 3000000000-3000511999/6000000000") << true
                                   << qint64(3000000000LL) << qint64(3000511999LL)
                                   << qint64(6000000000LL);
    QTest::newRow("unknown total") << QByteArray("bytes 10-19/*") << true << qint64(10) << qint64(19)
                                   << qint64(-1);
    QTest::newRow("case and equals") << QByteArray("Bytes=5-5/6") << true << qint64(5) << qint64(5)
                                     << qint64(6);
    QTest::newRow("last before first") << QByteArray("bytes 20-10/100") << false << qint64(0)
                                       << qint64(0) << qint64(0);
    QTest::newRow("last beyond total") << QByteArray("bytes 0-100/100") << false << qint64(0)
                                       << qint64(0) << qint64(0);
    QTest::newRow("unsatisfied") << QByteArray("bytes */100") << false << qint64(0) << qint64(0)
                                 << qint64(0);
    QTest::newRow("other unit") << QByteArray("items 0-1/2") << false << qint64(0) << qint64(0)
                                << qint64(0);
    QTest::newRow("no total") << QByteArray("bytes 0-1") << false << qint64(0) << qint64(0)
                              << qint64(0);
}

void TestUrlHelpers::httpContentRange()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, ok);
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    QFETCH(qint64, total);
    const QByteArray header = "HTTP/1.1 206 Partial Content\r\nContent-Range: " + value + "\r\n\r\n";
    HttpParse::ContentRange range;
    QCOMPARE(HttpParse::contentRange(header, &range), ok);
    if (ok) {
        QCOMPARE(range.first, first);
        QCOMPARE(range.last, last);
        QCOMPARE(range.total, total);
    }
}

void TestUrlHelpers::ftpReplies()
{
    QByteArray buffer = "220 ready\r\n331 Send password\r\n230 Lo";
    QCOMPARE(FtpParse::takeCompleteLines(buffer), QByteArray("220 ready\r\n331 Send password\r\n"));
    QCOMPARE(buffer, QByteArray("230 Lo"));
    QCOMPARE(FtpParse::takeCompleteLines(buffer), QByteArray());
    QCOMPARE(buffer, QByteArray("230 Lo"));

    QCOMPARE(FtpParse::replyCode("213 1234"), 213);
    QCOMPARE(FtpParse::replyCode("21"), -1);
    QVERIFY(FtpParse::isFinalReplyLine("220 ready"));
    QVERIFY(!FtpParse::isFinalReplyLine("220-welcome"));

    QByteArray value;
    QVERIFY(FtpParse::findSizeReply("331 ok\r\n213 5000000000\r\n350 Restarting\r\n", &value));
    bool ok = false;
    QCOMPARE(FtpParse::sizeValue(value, &ok), qint64(5000000000LL));
    QVERIFY(ok);
    // Trailing characters that are not digits are dropped before converting.
    QVERIFY(FtpParse::findSizeReply("213 1234 bytes\r\n", &value));
    QCOMPARE(FtpParse::sizeValue(value, &ok), qint64(1234));
    QVERIFY(ok);
    QVERIFY(FtpParse::findSizeReply("213 size unknown\r\n", &value));
    FtpParse::sizeValue(value, &ok);
    QVERIFY(!ok);
    QVERIFY(FtpParse::findSizeReply("213 12 34\r\n", &value));
    FtpParse::sizeValue(value, &ok);
    QVERIFY(!ok);
    QVERIFY(!FtpParse::findSizeReply("2130 x\r\n", &value));

    QVERIFY(FtpParse::containsErrorCode("550 /missing.bin: No such file\r\n"));
    QVERIFY(FtpParse::containsErrorCode("220 Server with 500 users\r\n"));
    QVERIFY(FtpParse::containsErrorCode("530 Login incorrect.\r\n"));
    QVERIFY(!FtpParse::containsErrorCode("220 ready\r\n331 ok\r\n230 in\r\n200 Type set\r\n"));
    QVERIFY(!FtpParse::containsErrorCode("505 x\r\n554 y\r\n531 z\r\n"));
}

QTEST_GUILESS_MAIN(TestUrlHelpers)
#include "test_url_helpers.moc"
