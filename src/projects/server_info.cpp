#include "projects/server_info.h"

#include "core/text_file.h"

#include <QFile>
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
        else if (key == "Name")
            info.name = QString::fromUtf8(value);
        else if (key == "Address")
            info.askedAddress = QString::fromUtf8(value);
    }
    const QByteArray login = TextFile::read(projectDir + loginFileName()).trimmed();
    if (login.startsWith("Login:"))
        info.login = QString::fromUtf8(login.mid(6));
    info.headers = RequestHeaders::read(projectDir);
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
    if (!name.isEmpty())
        text += "Name:" + name.toUtf8() + "\r\n";
    if (!askedAddress.isEmpty())
        text += "Address:" + askedAddress.toUtf8() + "\r\n";
    if (login.isEmpty())
        QFile::remove(projectDir + loginFileName());
    else if (!TextFile::write(projectDir + loginFileName(), "Login:" + login.toUtf8() + "\r\n", nullptr, 0600))
        return false;
    if (!headers.write(projectDir))
        return false;
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
