#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QNetworkCookie>
#include <QString>
#include <QUrl>

// A cookie file in the Netscape format that curl (-c), wget
// (--save-cookies) and the browsers' export tools write: one cookie a line,
// seven fields between tabs (domain, include-subdomains flag, path, secure
// flag, expiry in seconds since 1970 with 0 for a session cookie, name,
// value); "#HttpOnly_" before the domain marks an HttpOnly cookie; other
// lines starting with "#" and blank lines are comments.
namespace CookieFile {

// The cookies of the file's text that have not expired at now. A line that
// is not a cookie (fields missing or of the wrong kind, a name or value that
// could not stand in a Cookie header) is skipped, as curl and wget skip it.
QList<QNetworkCookie> parse(const QByteArray &text, const QDateTime &now);

// The value of the Cookie header a request for url carries: the cookies whose
// domain and path match url (a host-only cookie its very host, the others
// that host and its subdomains), secure ones only over https, those of the
// longest paths first; empty when none match.
QByteArray headerFor(const QList<QNetworkCookie> &cookies, const QUrl &url);

// The same for the cookie file at path, read now, and an address as the user
// gives it (with or without its scheme and login); *read says whether the
// file could be read.
QByteArray headerFromFile(const QString &path, const QString &address, bool *read);

} // namespace CookieFile
