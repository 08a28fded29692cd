#include "engine/http_parse.h"

#include <QDateTime>
#include <QList>

#include <algorithm>
#include <limits>

namespace {
const QByteArray kBlankLine("\r\n\r\n");
const QByteArray kCrLf("\r\n");
} // namespace

int HttpParse::headerEnd(const QByteArray &data)
{
    return data.indexOf(kBlankLine);
}

bool HttpParse::headerComplete(const QByteArray &data)
{
    return headerEnd(data) >= 0;
}

QByteArray HttpParse::headerText(const QByteArray &data)
{
    const int end = headerEnd(data);
    return end >= 0 ? data.left(end) : data;
}

QByteArray HttpParse::bodyStart(const QByteArray &data)
{
    const int end = headerEnd(data);
    return end >= 0 ? data.mid(end + kBlankLine.size()) : QByteArray();
}

QByteArray HttpParse::firstLine(const QByteArray &header)
{
    const int end = header.indexOf(kCrLf);
    return end >= 0 ? header.left(end) : header;
}

int HttpParse::statusCode(const QByteArray &header)
{
    const QByteArray line = firstLine(header);
    if (!line.toUpper().startsWith("HTTP/"))
        return -1;
    const int space = line.indexOf(' ');
    if (space < 0)
        return -1;
    int pos = space;
    while (pos < line.size() && line.at(pos) == ' ')
        ++pos;
    const QByteArray code = line.mid(pos, 3);
    if (code.size() != 3)
        return -1;
    for (char c : code) {
        if (c < '0' || c > '9')
            return -1;
    }
    // The code must stand alone: "HTTP/1.1 2000" is no status line.
    if (pos + 3 < line.size() && line.at(pos + 3) != ' ')
        return -1;
    return code.toInt();
}

QByteArray HttpParse::headerValue(const QByteArray &header, const QByteArray &name, bool *found)
{
    if (found)
        *found = false;
    const QByteArray wanted = name.trimmed().toLower();
    const QList<QByteArray> lines = headerText(header).split('\n');
    // The first line is the status line, never a header.
    for (qsizetype i = 1; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (line.endsWith('\r'))
            line.chop(1);
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        if (line.left(colon).trimmed().toLower() != wanted)
            continue;
        if (found)
            *found = true;
        return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

bool HttpParse::hasHeader(const QByteArray &header, const QByteArray &name)
{
    bool found = false;
    headerValue(header, name, &found);
    return found;
}

qint64 HttpParse::parseDecimal(const QByteArray &text, bool *ok)
{
    *ok = false;
    const QByteArray t = text.trimmed();
    if (t.isEmpty())
        return 0;
    qint64 value = 0;
    for (char c : t) {
        if (c < '0' || c > '9')
            return 0;
        const int digit = c - '0';
        if (value > (std::numeric_limits<qint64>::max() - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    *ok = true;
    return value;
}

qint64 HttpParse::contentLength(const QByteArray &header, bool *ok)
{
    bool found = false;
    const QByteArray value = headerValue(header, "Content-Length", &found);
    if (!found) {
        *ok = false;
        return 0;
    }
    return parseDecimal(value, ok);
}

bool HttpParse::parseContentRange(const QByteArray &value, ContentRange *range)
{
    QByteArray v = value.trimmed();
    if (!v.toLower().startsWith("bytes"))
        return false;
    v = v.mid(5);
    // "bytes 0-9/10"; some servers write "bytes=0-9/10".
    if (v.isEmpty() || (v.at(0) != ' ' && v.at(0) != '='))
        return false;
    v = v.mid(1).trimmed();
    const int dash = v.indexOf('-');
    const int slash = v.indexOf('/');
    if (dash <= 0 || slash <= dash + 1)
        return false;
    bool ok = false;
    ContentRange r;
    r.first = parseDecimal(v.left(dash), &ok);
    if (!ok)
        return false;
    r.last = parseDecimal(v.mid(dash + 1, slash - dash - 1), &ok);
    if (!ok || r.last < r.first)
        return false;
    const QByteArray total = v.mid(slash + 1).trimmed();
    if (total == "*") {
        r.total = -1;
    } else {
        r.total = parseDecimal(total, &ok);
        if (!ok || r.last >= r.total)
            return false;
    }
    *range = r;
    return true;
}

bool HttpParse::contentRange(const QByteArray &header, ContentRange *range)
{
    bool found = false;
    const QByteArray value = headerValue(header, "Content-Range", &found);
    return found && parseContentRange(value, range);
}

bool HttpParse::unsatisfiedRange(const QByteArray &header, qint64 *total)
{
    bool found = false;
    QByteArray v = headerValue(header, "Content-Range", &found).trimmed();
    if (!found || !v.toLower().startsWith("bytes"))
        return false;
    v = v.mid(5).trimmed();
    if (!v.startsWith("*/"))
        return false;
    bool ok = false;
    const qint64 t = parseDecimal(v.mid(2), &ok);
    if (!ok)
        return false;
    *total = t;
    return true;
}

namespace {
// The parameters of a header value such as Content-Disposition, "type;
// name=value; name="quoted; value"": names lower-cased, quoted values
// unquoted with their backslash escapes taken out. A ";" inside quotes
// belongs to the value.
QList<std::pair<QByteArray, QByteArray>> headerParameters(const QByteArray &value)
{
    QList<std::pair<QByteArray, QByteArray>> out;
    qsizetype i = value.indexOf(';');
    while (i >= 0 && i < value.size()) {
        ++i; // past the ";"
        const qsizetype eq = value.indexOf('=', i);
        const qsizetype semi = value.indexOf(';', i);
        if (eq < 0 || (semi >= 0 && semi < eq)) {
            i = semi; // a parameter without a value
            continue;
        }
        const QByteArray name = value.mid(i, eq - i).trimmed().toLower();
        qsizetype j = eq + 1;
        while (j < value.size() && value.at(j) == ' ')
            ++j;
        QByteArray v;
        if (j < value.size() && value.at(j) == '"') {
            for (++j; j < value.size() && value.at(j) != '"'; ++j) {
                if (value.at(j) == '\\' && j + 1 < value.size())
                    ++j;
                v += value.at(j);
            }
            i = value.indexOf(';', j);
        } else {
            const qsizetype end = value.indexOf(';', j);
            v = value.mid(j, end < 0 ? -1 : end - j).trimmed();
            i = end;
        }
        out.append({name, v});
    }
    return out;
}

// Bytes a server sent as a name: UTF-8 when they are valid UTF-8, else
// ISO-8859-1 (what older servers send).
QString nameText(const QByteArray &bytes)
{
    const QString utf8 = QString::fromUtf8(bytes);
    return utf8.contains(QChar::ReplacementCharacter) ? QString::fromLatin1(bytes) : utf8;
}
} // namespace

QString HttpParse::contentDispositionName(const QByteArray &header)
{
    // Qt reads no Content-Disposition (QNetworkRequest only writes one for
    // multipart uploads), so its two name parameters are read here.
    bool found = false;
    const QByteArray value = headerValue(header, "Content-Disposition", &found);
    if (!found)
        return QString();
    QString plain;
    for (const auto &[name, v] : headerParameters(value)) {
        if (name == "filename*") {
            // charset'language'percent-encoded bytes
            const qsizetype first = v.indexOf('\''), second = v.indexOf('\'', first + 1);
            if (first < 0 || second < 0)
                continue;
            const QByteArray charset = v.left(first).trimmed().toLower();
            const QByteArray bytes = QByteArray::fromPercentEncoding(v.mid(second + 1));
            QString text;
            if (charset == "utf-8")
                text = QString::fromUtf8(bytes);
            else if (charset == "iso-8859-1")
                text = QString::fromLatin1(bytes);
            if (!text.isEmpty())
                return text;
        } else if (name == "filename" && plain.isEmpty()) {
            plain = nameText(v);
        }
    }
    return plain;
}

qint64 HttpParse::retryAfter(const QByteArray &header, const QDateTime &now)
{
    bool found = false;
    const QByteArray value = headerValue(header, "Retry-After", &found);
    if (!found)
        return -1;
    bool ok = false;
    const qint64 seconds = parseDecimal(value, &ok);
    if (ok)
        return seconds;
    // An HTTP date ("Wed, 21 Oct 2026 07:28:00 GMT") is an RFC 2822 date whose
    // zone Qt wants as a number.
    QString date = QString::fromLatin1(value);
    if (date.endsWith(QLatin1String(" GMT")))
        date = date.chopped(4) + QStringLiteral(" +0000");
    const QDateTime when = QDateTime::fromString(date, Qt::RFC2822Date);
    if (!when.isValid())
        return -1;
    return std::max<qint64>(0, now.secsTo(when));
}
