#include "projects/server_info.h"

#include "core/text_file.h"

#include <QList>

ServerInfo ServerInfo::read(const QString &projectDir)
{
    ServerInfo info;
    const QByteArray text = TextFile::read(projectDir + fileName());
    for (QByteArray line : text.split('\n')) {
        line = line.trimmed();
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray key = line.left(colon);
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (key == "ETag")
            info.etag = value;
        else if (key == "Last-Modified")
            info.lastModified = value;
        else if (key == "Ranges")
            info.ranges = value != "0";
    }
    return info;
}

bool ServerInfo::write(const QString &projectDir) const
{
    QByteArray text;
    if (!etag.isEmpty())
        text += "ETag:" + etag + "\r\n";
    if (!lastModified.isEmpty())
        text += "Last-Modified:" + lastModified + "\r\n";
    text += QByteArray("Ranges:") + (ranges ? "1" : "0") + "\r\n";
    return TextFile::write(projectDir + fileName(), text);
}

QByteArray ServerInfo::ifRangeValue() const
{
    // A weak tag may not be used for a range (the server would always answer
    // with the whole file); the date is the next best thing.
    if (!etag.isEmpty() && !etag.startsWith("W/"))
        return etag;
    return lastModified;
}
