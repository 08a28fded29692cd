#include "engine/ftp_parse.h"

#include "engine/http_parse.h"

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
