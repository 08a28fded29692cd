// libFuzzer target: every HTTP and FTP reply parser on the same bytes, as a
// server could send them. Besides crashes and sanitizer reports it stops on a
// broken promise of a parser (a port of 0, a range that ends before it starts).
#include "engine/ftp_parse.h"
#include "engine/http_parse.h"

#include <QString>

#include <cstddef>
#include <cstdint>

namespace {

void check(bool promise)
{
    if (!promise)
        __builtin_trap();
}

void httpParsers(const QByteArray &data)
{
    const int end = HttpParse::headerEnd(data);
    check(HttpParse::headerComplete(data) == (end >= 0));
    const QByteArray header = HttpParse::headerText(data);
    const QByteArray body = HttpParse::bodyStart(data);
    check(end < 0 ? body.isEmpty() : header.size() + 4 + body.size() == data.size());
    HttpParse::firstLine(header);
    const int status = HttpParse::statusCode(header);
    check(status == -1 || (status >= 0 && status <= 999));
    // The header names the program asks for, and one taken from the bytes.
    const QByteArray names[] = {"Content-Length", "content-range", "Location", "Content-Type",
                                data.left(data.indexOf(':') < 0 ? 0 : data.indexOf(':'))};
    for (const QByteArray &name : names) {
        bool found = false;
        HttpParse::headerValue(header, name, &found);
        check(HttpParse::hasHeader(header, name) == found);
    }
    bool ok = false;
    const qint64 length = HttpParse::contentLength(header, &ok);
    check(!ok || length >= 0);
    HttpParse::ContentRange range;
    for (bool got : {HttpParse::contentRange(header, &range), HttpParse::parseContentRange(data, &range)}) {
        check(!got || (range.first >= 0 && range.first <= range.last
                       && (range.total == -1 || range.last < range.total)));
    }
    qint64 total = -1;
    check(!HttpParse::unsatisfiedRange(header, &total) || total >= 0);
    const qint64 value = HttpParse::parseDecimal(data, &ok);
    check(ok ? value >= 0 : value == 0);
}

void ftpParsers(const QByteArray &data)
{
    QByteArray buffer = data;
    const QByteArray lines = FtpParse::takeCompleteLines(buffer);
    check(lines + buffer == data && !buffer.contains('\n'));
    FtpParse::replyCode(data);
    FtpParse::isFinalReplyLine(data);
    QByteArray size;
    bool ok = false;
    if (FtpParse::findSizeReply(data, &size))
        check(FtpParse::sizeValue(size, &ok) >= 0);
    FtpParse::containsErrorCode(data);

    // Replies one after another, as the slots take them from their buffer.
    for (qsizetype at = 0; at < data.size();) {
        const QByteArray rest = QByteArray::fromRawData(data.constData() + at, data.size() - at);
        FtpParse::Reply reply;
        const qsizetype used = FtpParse::takeReply(rest, &reply);
        check(used >= -1 && used <= rest.size());
        if (used <= 0)
            break;
        check(reply.code >= 0 && reply.code <= 999 && rest.at(used - 1) == '\n');
        // A reply cut short is still arriving, never garbage nor a reply.
        FtpParse::Reply part;
        check(FtpParse::takeReply(rest.left(used - 1), &part) == 0);
        check(FtpParse::takeReply(rest.left(used / 2), &part) == 0);
        at += used;
    }

    quint16 port = 0;
    check(!FtpParse::epsvPort(data, &port) || port != 0);
    QString host;
    port = 0;
    if (FtpParse::pasvAddress(data, &host, &port))
        check(port != 0 && host.count(QLatin1Char('.')) == 3);
    const quint16 wanted = data.size() >= 2 ? quint16(uchar(data.at(0)) << 8 | uchar(data.at(1))) : 21;
    for (const QString &ipv4 : {QString::fromLatin1(data), QString::fromUtf8(data)}) {
        const QByteArray argument = FtpParse::portArgument(ipv4, wanted);
        check(argument.isEmpty() || argument.count(',') == 5);
        if (!argument.isEmpty())
            check(argument.endsWith(',' + QByteArray::number(wanted / 256) + ',' + QByteArray::number(wanted % 256)));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    // Raw data, not copied: no terminating zero behind it, so a read past the
    // end is one past the fuzzer's own buffer, where the address sanitizer sees it.
    const QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char *>(bytes), qsizetype(size));
    httpParsers(data);
    ftpParsers(data);
    return 0;
}
