#pragma once
#include <QByteArray>
#include <QString>

#include "projects/request_headers.h"

// What the probe learnt about the file on the server, kept beside the
// project's own files ("server.zov" in the project folder) so that a download
// resumed days later still knows which file it was fetching. Its lines are
// "ETag:<value>", "Last-Modified:<value>", "Ranges:<0|1>", "Name:<file name>"
// and "Address:<address>", CR LF ended; a missing file or line means "not
// known" (a project made before this file existed, or a server that sent no
// validator), or, for the name and the address, "as the project's address
// says". A login for the server is no part of it: it goes into "login.zov"
// beside it, which only the user may read, so that no password is written
// where anyone else could read it. The header lines the user added (cookies,
// Referer...) are kept the same way, in "headers.zov" (RequestHeaders).
class ServerInfo
{
public:
    QByteArray etag;          // as the server sent it, quotes and "W/" included
    QByteArray lastModified;  // the HTTP date as sent
    bool ranges = true;       // the server answered the probe's range request with 206
    // The name the file is saved under, when it is not the last segment of
    // the project's address (the server named it, or the segment had escapes).
    QString name;
    // The address the user gave, when a redirection led the project's address
    // elsewhere: the same address given again finds the project.
    QString askedAddress;
    // "user:password" (escapes kept) the requests to the server carry.
    QString login;
    // What every request to the server carries besides the program's own lines.
    RequestHeaders headers;

    static QString fileName() { return QStringLiteral("server.zov"); }
    static QString loginFileName() { return QStringLiteral("login.zov"); }
    // projectDir ends with "/".
    static ServerInfo read(const QString &projectDir);
    bool write(const QString &projectDir) const;

    // The value for If-Range: the entity tag when it is a strong one, otherwise
    // the date; empty when neither is known.
    QByteArray ifRangeValue() const;
    bool operator==(const ServerInfo &) const = default;
};
