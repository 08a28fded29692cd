#pragma once
#include <QByteArray>
#include <QString>

class QDateTime;

// Reading of HTTP/1.1 response headers, as small pure functions over the raw
// bytes received. The probe and the download slots share them. Header names
// match in any case; values are returned trimmed of blanks.
class HttpParse
{
public:
    // Where the header ends: the index of the first CR LF CR LF, or -1 while
    // the blank line has not arrived yet.
    static int headerEnd(const QByteArray &data);
    static bool headerComplete(const QByteArray &data);
    // The header text before the blank line (all of data when there is none).
    static QByteArray headerText(const QByteArray &data);
    // Bytes after the blank line (empty when the header is not complete).
    static QByteArray bodyStart(const QByteArray &data);

    // The first line, up to its CR LF (or the end of data).
    static QByteArray firstLine(const QByteArray &header);
    // Status code of a status line "HTTP/x.y NNN reason", or -1 when the first
    // line is not one.
    static int statusCode(const QByteArray &header);

    // Value of the first header line named name (case-insensitive), trimmed.
    // *found tells a missing header from an empty value.
    static QByteArray headerValue(const QByteArray &header, const QByteArray &name,
                                  bool *found = nullptr);
    static bool hasHeader(const QByteArray &header, const QByteArray &name);

    // Content-Length as a 64-bit count. *ok is false when the header is missing,
    // is not a plain decimal number, or does not fit.
    static qint64 contentLength(const QByteArray &header, bool *ok);

    // Content-Range: "bytes first-last/total"; total is -1 when the server
    // wrote "*". Returns false when the header is missing or malformed
    // (last before first, last beyond total).
    struct ContentRange {
        qint64 first = -1;
        qint64 last = -1;
        qint64 total = -1;
    };
    static bool contentRange(const QByteArray &header, ContentRange *range);
    // The same for the value alone ("bytes 0-99/1000").
    static bool parseContentRange(const QByteArray &value, ContentRange *range);

    // The total of an unsatisfied range, "Content-Range: bytes */total", which
    // comes with a 416 answer. False when the header is missing or has another
    // form.
    static bool unsatisfiedRange(const QByteArray &header, qint64 *total);

    // The file name a Content-Disposition header gives ("attachment;
    // filename*=UTF-8''report%202026.pdf; filename="report.pdf""): the
    // filename* parameter (UTF-8 or ISO-8859-1, percent-encoded) first, then
    // filename, quoted or not. The name as the server wrote it, not made safe;
    // empty when there is no such header or neither parameter gives a name.
    static QString contentDispositionName(const QByteArray &header);

    // Seconds a Retry-After header asks to wait, as a number of seconds or as
    // an HTTP date counted from now; -1 when there is none or it cannot be
    // read. A date already past is 0.
    static qint64 retryAfter(const QByteArray &header, const QDateTime &now);

    // A plain non-negative decimal number (digits only, no sign) that fits in
    // 63 bits; *ok is false otherwise.
    static qint64 parseDecimal(const QByteArray &text, bool *ok);
};
