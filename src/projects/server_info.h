#pragma once
#include <QByteArray>
#include <QString>

// What the probe learnt about the file on the server, kept beside the
// project's own files ("server.zov" in the project folder) so that a download
// resumed days later still knows which file it was fetching. Its lines are
// "ETag:<value>", "Last-Modified:<value>" and "Ranges:<0|1>", CR LF ended; a
// missing file or line means "not known" (a project made before this file
// existed, or a server that sent no validator).
class ServerInfo
{
public:
    QByteArray etag;          // as the server sent it, quotes and "W/" included
    QByteArray lastModified;  // the HTTP date as sent
    bool ranges = true;       // the server answered the probe's range request with 206

    static QString fileName() { return QStringLiteral("server.zov"); }
    // projectDir ends with "/".
    static ServerInfo read(const QString &projectDir);
    bool write(const QString &projectDir) const;

    // The value for If-Range: the entity tag when it is a strong one, otherwise
    // the date; empty when neither is known.
    QByteArray ifRangeValue() const;
    bool operator==(const ServerInfo &) const = default;
};
