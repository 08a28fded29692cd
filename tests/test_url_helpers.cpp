#include "engine/cookie_file.h"
#include "engine/ftp_parse.h"
#include "engine/http_parse.h"
#include "engine/url_helpers.h"

#include <QtTest>

// Each table maps an input to the expected text, so that a row states one case.
class TestUrlHelpers : public QObject
{
    Q_OBJECT
private slots:
    // "host|path|file name|base name", as the probe (Extract_URL) and the project start (Extract_URL2, whose path
    // the slots send) split an address.
    void addresses()
    {
        const std::pair<const char *, const char *> cases[] = {
            {"http://h/d/f.zip", "h|/d/f.zip|f.zip|f"}, {"h/a.tar.gz", "h|/a.tar.gz|a.tar.gz|a"},
            // Fault: a name without "." refused (its base name is the whole name).
            {"http://h", "h|/|h|h"}, {"http://h:8080/get", "h:8080|/get|get|get"}, {"", "|||"},
            // Fault: the query or fragment ends up in the name on disk, or is sent.
            {"http://h/d/f.zip?a=b/c#top", "h|/d/f.zip?a=b/c|f.zip|f"},
            // Fault: a "://" inside the query taken for the scheme.
            {"h/get?u=http://x/y.z", "h|/get?u=http://x/y.z|get|get"},
            // Fault: a project stored with a raw space sends a broken request line.
            {"h/d/my file.zip", "h|/d/my%20file.zip|my file.zip|my file"}};
        for (const auto &[url, expected] : cases) {
            for (auto split : {&Extract_URL, &Extract_URL2}) {
                QString text = url, path = QStringLiteral("unset");
                const QString host = split(text, &path), file = Extract_FileName(url);
                const QString got = QStringList({host, path, file, baseNameOf(file)}).join('|');
                QCOMPARE(QString(url) + " -> " + got, QString(url) + " -> " + expected);
            }
        }
    }

    // The form an address is stored and requested in ("" = refused); a Location is resolved against h/a/b/c.zip?x.
    void safeForm()
    {
        const struct { QString url, location, safe; } cases[] = {
            {"http://h/d/my file.zip", "", "http://h/d/my%20file.zip"}, {"h/d/f.zip#part2", "", "h/d/f.zip"},
            {QString::fromUtf8("h/caf\u00e9.bin"), "", "h/caf%C3%A9.bin"}, // non-ASCII as UTF-8
            {"h/a%20b%zz.bin", "", "h/a%20b%25zz.bin"},                   // escapes kept, a lone % encoded
            {"h/x\"<>\\^`{|}[].bin", "", "h/x%22%3C%3E%5C%5E%60%7B%7C%7D%5B%5D.bin"}, // not allowed in a target
            {"h/a-._~!$&'()*+,;=:@b", "", "h/a-._~!$&'()*+,;=:@b"},    // kept as they are
            {"h/a/b/../../c/./d.bin", "", "h/c/d.bin"}, {"http://h/../../etc/f.bin", "", "http://h/etc/f.bin"},
            {"h/a/b/..", "", "h/a/"}, {"h/d/?q=a b&r=/x/../y?z", "", "h/d/?q=a%20b&r=/x/../y?z"}, {"h?q=1", "", "h/?q=1"},
            {"h/f.zip\r\nX-Injected: 1", "", ""}, {"h/f\x7f.zip", "", ""}, // a header injected, DEL
            // Fault: a line break or NUL escaped in the login, path or query decoded into a line of its own.
            {"ftp://u:p%0d%0aDELE%20x@h/f", "", ""}, {"u%0A@h/f", "", ""}, {"h/f%00.bin", "", ""}, {"h/f?q=%0d", "", ""},
            // Fault: any scheme fetched as HTTP. (Without one it is HTTP, or FTP for a host "ftp...".)
            {"gopher://h/f", "", ""}, {"ftps://h/f", "", ""}, {"HTTP://h/f", "", "HTTP://h/f"}, {"ftp.h/f", "", "ftp.h/f"},
            {"", "../x/f.zip", "http://h/a/x/f.zip"}, {"", "/d/./e/../f.zip", "http://h/d/f.zip"},
            {"", "?y=2", "http://h/a/b/c.zip?y=2"}, {"", "//o/f.zip", "http://o/f.zip"},
            {"", "ftp://o/p/../f.zip#frag", "ftp://o/f.zip"}};
        for (const auto &c : cases) {
            QString got;
            const QString url = c.url.isEmpty() ? resolveLocation("h", "/a/b/c.zip?x", c.location) : c.url;
            QCOMPARE(url + " -> " + (safeUrl(url, &got) ? got : QString()), url + " -> " + c.safe);
            // Fault: a stored address encoded again on every start ("%20" -> "%2520").
            QVERIFY(c.safe.isEmpty() || (safeUrl(c.safe, &got) && got == c.safe));
        }
    }

    // Fault: an FTP command naming "%20" instead of the space, or a decoded line break that starts a command of its
    // own; a name that climbs out of its folder.
    void ftpPathAndNames()
    {
        QString decoded;
        QVERIFY(ftpServerPath("/my%20file.bin", &decoded) && decoded == "/my file.bin");
        QVERIFY(!ftpServerPath("/a%0D%0ADELE%20x", &decoded));
        QVERIFY(isSafeName("f_64547.12") && isSafeName(QString::fromUtf8("mon fichier \xc3\xa9")));
        for (const char *name : {"", ".", "..", "a/b", "..\\x", "a\nb", "\x7f"})
            QVERIFY2(!isSafeName(QString::fromUtf8(name)), name);
    }

    // The Cookie header of a request for each address, from one cookie file as curl, wget and browsers write it.
    void cookieFile()
    {
        const QByteArray file =
            "# Netscape HTTP Cookie File\n\n"
            ".example.com\tTRUE\t/\tFALSE\t0\tsite\t1\n"
            "example.com\tFALSE\t/\tFALSE\t0\thost\t2\n"
            ".example.com\tFALSE\t/\tFALSE\t0\tdotted\t3\n"          // the flag, not the dot, decides
            "www.example.com\tFALSE\t/files\tFALSE\t4102444800\tfiles\t4\n"
            "example.com\tTRUE\t/files/\tFALSE\t0\tslash\t5\n"
            ".example.com\tTRUE\t/\tTRUE\t0\tsecure\t6\n"
            "#HttpOnly_.example.com\tTRUE\t/\tFALSE\t0\thttponly\t7\n"
            ".example.com\tTRUE\t/\tFALSE\t3999999999\texpired\t8\n"
            ".example.com\tTRUE\t/\tFALSE\t4000000001\tcutoff\t9\n"  // "now" is 4000000000 below
            "  # .example.com\tTRUE\t/\tFALSE\t0\tcomment\t0\n"
            ".example.com\tTRUE\t/\tFALSE\tsoon\tbadexpiry\t0\n"
            ".example.com\tMAYBE\t/\tFALSE\t0\tbadflag\t0\n"
            ".example.com\tTRUE\t/\tFALSE\t0\tsixfields\n"
            ".example.com TRUE / FALSE 0 spaces 0\n"
            ".example.com\tTRUE\t/\tFALSE\t0\tsplit\ta;b=c\n"
            ".example.com\tTRUE\t/\tFALSE\t0\tbreak\ta\rb\n"
            ".example.org\tTRUE\t/\tFALSE\t0\tother\t10\r\n"        // CR LF line ends
            ".example.com\tTRUE\t/\tFALSE\t0\tlast\t11";               // no line end
        const QList<QNetworkCookie> cookies =
            CookieFile::parse(file, QDateTime::fromSecsSinceEpoch(4000000000, Qt::UTC));
        const std::pair<const char *, const char *> cases[] = {
            // Faults: a host-only cookie sent to subdomains or the leading dot taken for the flag; a comment,
            // an expired cookie or a malformed line (a field missing or of the wrong kind, spaces for tabs,
            // a ";" or line break that would add a cookie or a header line) sent; "#HttpOnly_" lines
            // dropped as comments; the last line without its line end lost.
            {"http://example.com/a.bin", "site=1; host=2; dotted=3; httponly=7; cutoff=9; last=11"},
            // Fault: a secure cookie sent in clear, or not sent over TLS.
            {"https://example.com/a.bin", "site=1; host=2; dotted=3; secure=6; httponly=7; cutoff=9; last=11"},
            // Faults: a subdomain's cookie sent to its parent; the path matched as a bare prefix ("/filesx")
            // or the longer path not first.
            {"http://www.example.com/files/a.bin", "slash=5; files=4; site=1; httponly=7; cutoff=9; last=11"},
            {"http://www.example.com/files", "files=4; site=1; httponly=7; cutoff=9; last=11"},
            {"http://www.example.com/filesx/a.bin", "site=1; httponly=7; cutoff=9; last=11"},
            // Fault: the domain matched as a bare suffix, or the file's other domains sent.
            {"http://notexample.com/a.bin", ""}, {"http://example.org/a.bin", "other=10"}};
        for (const auto &[url, expected] : cases)
            QCOMPARE(url + (" -> " + CookieFile::headerFor(cookies, QUrl(url))), url + (" -> " + QByteArray(expected)));
    }

    // A header line's numbers as "length", "first-last/total", "*/total" or the seconds to wait, or the file name it
    // gives; "" when refused.
    void httpNumbers()
    {
        const std::pair<QByteArray, QString> cases[] = {
            // Fault: a name inside another header's value, or body text, read as the header.
            {"X-Note: Content-Length: 5\r\nContent-Length: 1234\r\n\r\nContent-Length: 7", "1234"},
            {"Content-Length: 9223372036854775808", ""}, {"Content-Range: bytes 10-19/*", "10-19/-1"},
            {"Content-Range: bytes 20-10/100", ""}, {"Content-Range: bytes 0-100/100", ""},
            {"Content-Range: bytes */0", "*/0"}, {"Content-Range: bytes */x", ""},
            // Faults: an HTTP date (zone "GMT") not read, or counted from the wrong moment; a date gone by a negative wait.
            {"Retry-After: 90", "90"}, {"Retry-After: Wed, 21 Oct 2026 07:30:00 GMT", "120"},
            {"Retry-After: Wed, 21 Oct 2026 07:00:00 GMT", "0"}, {"Retry-After: soon", ""},
            // Faults: the ISO-8859-1 form read as UTF-8, an escaped quote ending the name, a filename* without its
            // charset taken over filename.
            {"Content-Disposition: attachment; filename*=iso-8859-1'fr'caf%E9.txt", QString::fromUtf8("caf\u00e9.txt")},
            {"Content-Disposition: attachment; filename=\"a \\\"b\\\"; c.txt\"", "a \"b\"; c.txt"},
            {"Content-Disposition: inline; filename*=report.pdf; filename=r.pdf", "r.pdf"}};
        for (const auto &[line, expected] : cases) {
            const QByteArray header = "HTTP/1.1 206 Partial Content\r\n" + line + "\r\n\r\n";
            bool ok = false;
            QString got;
            HttpParse::ContentRange r;
            qint64 total = -1;
            if (line.startsWith("Retry-After")) {
                got = QString::number(HttpParse::retryAfter(header, QDateTime(QDate(2026, 10, 21), QTime(7, 28), Qt::UTC)));
                ok = got != "-1";
            } else if (line.startsWith("Content-Disposition")) {
                got = HttpParse::contentDispositionName(header);
                ok = !got.isEmpty();
            } else if (line.contains("Content-Length"))
                got = QString::number(HttpParse::contentLength(header, &ok));
            else if ((ok = HttpParse::contentRange(header, &r)))
                got = QStringLiteral("%1-%2/%3").arg(r.first).arg(r.last).arg(r.total);
            else if ((ok = HttpParse::unsatisfiedRange(header, &total)))
                got = QStringLiteral("*/%1").arg(total);
            QCOMPARE(line + " -> " + (ok ? got : QString()), line + " -> " + expected);
        }
    }

    // Fault: a multi-line reply cut at a line starting with other digits or taken before it
    // ends, garbage or an endless line taken for a reply, a passive port out of range, PORT bytes swapped.
    void ftpReplies()
    {
        const struct { const char *kind; QByteArray input; QByteArray expected; } cases[] = {
            {"reply", "227 Entering Passive Mode (1,2,3,4,0,21)\r\n150 x", "227 Entering Passive Mode (1,2,3,4,0,21)|150 x"},
            {"reply", "220-Hi\r\n230 not yet\r\n220-still\r\n 220 no\r\n220 Ready\r\n", "220 Hi\n230 not yet\n220-still\n 220 no\nReady|"},
            {"reply", "220-Hi\r\n220 Rea", "0"},
            {"reply", "HTTP/1.1 200 OK\r\n", "-1"},
            {"reply", "211-" + QByteArray(8200, 'a'), "-1"},
            {"reply", "226 Done\n331", "226 Done|331"},
            {"epsv", "Entering Extended Passive Mode (|||6446|)", "6446"},
            {"epsv", "(|||0|)", ""},
            {"epsv", "(|||65536|)", ""},
            {"epsv", "Entering (!!!65535!)", "65535"},
            {"pasv", "Entering Passive Mode (192,168,1,2,19,137)", "192.168.1.2:5001"},
            {"pasv", "(192,168,1,256,19,137)", ""},
            {"pasv", "(192,168,1,2,19)", ""},
            {"port", "127.0.0.1 1234", "127,0,0,1,4,210"},
            {"port", "10.0.0.7 50000", "10,0,0,7,195,80"},
        };
        for (const auto &c : cases) {
            FtpParse::Reply r;
            QString host;
            quint16 port = 0;
            const qsizetype used = c.kind == QByteArray("reply") ? FtpParse::takeReply(c.input, &r) : 0;
            QByteArray got = used > 0 ? QByteArray::number(r.code) + " " + r.text + "|" + c.input.mid(used)
                                      : QByteArray::number(used);
            if (c.kind == QByteArray("epsv"))
                got = FtpParse::epsvPort(c.input, &port) ? QByteArray::number(port) : "";
            else if (c.kind == QByteArray("pasv"))
                got = FtpParse::pasvAddress(c.input, &host, &port) ? host.toLatin1() + ":" + QByteArray::number(port) : "";
            else if (c.kind == QByteArray("port"))
                got = FtpParse::portArgument(QString::fromLatin1(c.input.split(' ')[0]),
                                             c.input.split(' ')[1].toUShort());
            QCOMPARE(got, c.expected);
        }
    }
};

QTEST_GUILESS_MAIN(TestUrlHelpers)
#include "test_url_helpers.moc"
