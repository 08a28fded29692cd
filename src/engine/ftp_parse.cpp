#include "engine/ftp_parse.h"

#include "engine/http_parse.h"

#include <cstring>

namespace {

// A control line longer than this is no FTP reply.
constexpr qsizetype maxLine = 8192;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The value of 1 to maxDigits digits at text[*at], moving *at past them; -1
// when there are none or more than maxDigits.
int smallNumber(const QByteArray &text, qsizetype *at, int maxDigits)
{
    int value = 0, digits = 0;
    while (*at < text.size() && isDigit(text.at(*at))) {
        if (++digits > maxDigits)
            return -1;
        value = value * 10 + (text.at(*at) - '0');
        ++*at;
    }
    return digits > 0 ? value : -1;
}

} // namespace

QByteArray FtpParse::takeCompleteLines(QByteArray &buffer)
{
    const int lastLf = buffer.lastIndexOf('\n');
    if (lastLf < 0)
        return QByteArray();
    const QByteArray lines = buffer.left(lastLf + 1);
    buffer.remove(0, lastLf + 1);
    return lines;
}

int FtpParse::replyCode(const QByteArray &line)
{
    if (line.size() < 3)
        return -1;
    for (int i = 0; i < 3; ++i) {
        if (line.at(i) < '0' || line.at(i) > '9')
            return -1;
    }
    return line.left(3).toInt();
}

bool FtpParse::isFinalReplyLine(const QByteArray &line)
{
    return replyCode(line) >= 0 && (line.size() == 3 || line.at(3) != '-');
}

bool FtpParse::findSizeReply(const QByteArray &text, QByteArray *value)
{
    const int at = text.indexOf("213 ");
    if (at < 0)
        return false;
    const int start = at + 4;
    int end = text.indexOf("\r\n", start);
    if (end < 0)
        end = text.size();
    QByteArray v = text.mid(start, end - start);
    while (!v.isEmpty() && (v.back() < '0' || v.back() > '9'))
        v.chop(1);
    *value = v;
    return true;
}

qint64 FtpParse::sizeValue(const QByteArray &value, bool *ok)
{
    return HttpParse::parseDecimal(value, ok);
}

bool FtpParse::containsErrorCode(const QByteArray &text)
{
    static const char *const codes[] = {"500", "501", "502", "503", "504", "530",
                                        "532", "550", "551", "552", "553"};
    for (const char *code : codes) {
        if (text.contains(code))
            return true;
    }
    return false;
}

qsizetype FtpParse::takeReply(const QByteArray &buffer, Reply *reply)
{
    int code = -1;
    QByteArray text;
    qsizetype pos = 0;
    for (;;) {
        // Look for the LF no further than one full line (and its CR LF) ahead,
        // so that a call does bounded work whatever the buffer holds.
        const qsizetype window = qMin(buffer.size() - pos, maxLine + 2);
        const char *start = buffer.constData() + pos;
        const void *lfAt = window > 0 ? std::memchr(start, '\n', size_t(window)) : nullptr;
        if (!lfAt) {
            // A line still arriving: refuse it as soon as it cannot become one.
            const qsizetype have = window;
            if (have > maxLine + 1 || (have == maxLine + 1 && start[have - 1] != '\r'))
                return -1;
            if (code < 0) {
                for (qsizetype i = 0; i < qMin<qsizetype>(have, 3); ++i) {
                    if (!isDigit(start[i]))
                        return -1;
                }
                if (have >= 4 && start[3] != ' ' && start[3] != '-' && start[3] != '\r')
                    return -1;
                if (have >= 5 && start[3] == '\r')
                    return -1;
            }
            return 0;
        }
        const qsizetype lf = pos + (static_cast<const char *>(lfAt) - start);
        qsizetype len = lf - pos;
        if (len > 0 && buffer.at(lf - 1) == '\r')
            --len;
        if (len > maxLine)
            return -1;
        const QByteArray line = buffer.mid(pos, len);
        pos = lf + 1;
        const bool coded = len >= 3 && isDigit(line.at(0)) && isDigit(line.at(1)) && isDigit(line.at(2));
        const bool closing = coded && (len == 3 || line.at(3) == ' ');
        if (code < 0) {
            if (!coded || (len > 3 && line.at(3) != ' ' && line.at(3) != '-'))
                return -1;
            code = (line.at(0) - '0') * 100 + (line.at(1) - '0') * 10 + (line.at(2) - '0');
            text = line.mid(4);
            if (closing)
                break;
        } else if (closing && replyCode(line) == code) {
            text += '\n' + line.mid(4);
            break;
        } else {
            text += '\n' + line;
        }
    }
    reply->code = code;
    reply->text = text;
    return pos;
}

bool FtpParse::epsvPort(const QByteArray &text, quint16 *port)
{
    // "(" d d d digits d ")": the closing parenthesis tells the port's end even
    // when the delimiter is itself a digit.
    for (qsizetype i = text.indexOf('('); i >= 0; i = text.indexOf('(', i + 1)) {
        if (text.size() - i < 7)
            return false;
        const char d = text.at(i + 1);
        if (d < '!' || d > '~' || text.at(i + 2) != d || text.at(i + 3) != d)
            continue;
        int value = 0;
        for (qsizetype digits = 1; digits <= 5 && i + 5 + digits < text.size(); ++digits) {
            const char c = text.at(i + 3 + digits);
            if (!isDigit(c))
                break;
            value = value * 10 + (c - '0');
            if (text.at(i + 4 + digits) == d && text.at(i + 5 + digits) == ')') {
                if (value < 1 || value > 65535)
                    break;
                *port = quint16(value);
                return true;
            }
        }
    }
    return false;
}

bool FtpParse::pasvAddress(const QByteArray &text, QString *host, quint16 *port)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        // A run starts at a digit that follows neither a digit nor a comma, so
        // that the tail of a longer list is not read as one of six.
        if (!isDigit(text.at(i)) || (i > 0 && (isDigit(text.at(i - 1)) || text.at(i - 1) == ',')))
            continue;
        int n[6];
        qsizetype at = i;
        int count = 0;
        while (count < 6) {
            n[count] = smallNumber(text, &at, 3);
            if (n[count] < 0 || n[count] > 255)
                break;
            ++count;
            if (count < 6) {
                if (at >= text.size() || text.at(at) != ',')
                    break;
                ++at;
            }
        }
        if (count < 6 || (at < text.size() && (text.at(at) == ',' || isDigit(text.at(at)))))
            continue;
        const int value = n[4] * 256 + n[5];
        if (value == 0)
            return false;
        *host = QStringLiteral("%1.%2.%3.%4").arg(n[0]).arg(n[1]).arg(n[2]).arg(n[3]);
        *port = quint16(value);
        return true;
    }
    return false;
}

QByteArray FtpParse::portArgument(const QString &ipv4, quint16 port)
{
    const QByteArray address = ipv4.toLatin1();
    QByteArray argument;
    qsizetype at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= address.size() || address.at(at) != '.')
                return QByteArray();
            ++at;
        }
        const int value = smallNumber(address, &at, 3);
        if (value < 0 || value > 255)
            return QByteArray();
        argument += QByteArray::number(value) + ',';
    }
    if (at != address.size())
        return QByteArray();
    return argument + QByteArray::number(port / 256) + ',' + QByteArray::number(port % 256);
}
