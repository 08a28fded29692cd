#pragma once
#include <QByteArray>
#include <QList>
#include <QString>

// Splitting of the addresses the user gives. An address is kept without its
// scheme ("h/d/f.zip"); the host text keeps any ":port" written after it, the
// socket layer connects there.
//
// Addresses are kept in the form a request may carry as it is: safeUrl makes
// that form once, when an address is probed, and the splitting below encodes
// the path again (harmlessly: the form is stable) so that an address stored
// some other way still never puts a raw space, a control character or a
// fragment on a request line.

// Returns the host of strUrl. Removes the scheme (the text up to and including
// the first "://" that comes before any "/", "?" or "#") from strUrl itself and
// stores the path, with its leading "/", in *path: "/" when nothing follows the
// host, "" for an empty address. The path is in request form (encodePath),
// without the fragment.
QString Extract_URL(QString &strUrl, QString *path);

// The same steps; the project start keeps the path it gets here (Path_URL2) for
// the transfer slots, apart from the path of the address being probed.
QString Extract_URL2(QString &strUrl, QString *path);

// The file name of an address: the text after the last "/" of the address
// without its fragment ("#...") and query ("?..."); the whole of that text when
// it holds no "/". Percent escapes are kept as they are.
QString Extract_FileName(const QString &text);

// The name a file downloaded from an address is saved under when the server
// names none: the last segment of its path (Extract_FileName) with its
// escapes decoded, made safe (safeFileName); empty when nothing safe is left.
QString fileNameOf(const QString &address);

// A name a server or an address gives, made fit to be a file's name inside
// the destination: only the text after its last "/" or "\" is kept (what
// climbs out of the folder is dropped, as browsers do), without control
// characters. Empty when that leaves no name, "." or "..".
QString safeFileName(const QString &name);

// The base name of a file name: the text before its first ".", or the whole
// name when it has none ("setup-linux" is its own base name). Empty when the
// name starts with ".".
QString baseNameOf(const QString &fileName);

// True when text can name a file or folder inside another folder without
// pointing anywhere else: not empty, not "." or "..", no "/" or "\" and no
// control character.
bool isSafeName(const QString &text);

// True when text holds a character below 0x20 or 0x7F.
bool hasControlChar(const QString &text);

// "." and ".." segments of an absolute path resolved the way a browser does
// ("/a/b/../c/./d" -> "/a/c/d"; ".." never climbs above "/").
QString removeDotSegments(const QString &path);

// A path (with its query) as a request line may carry it: dot segments
// resolved, and every byte that may not stand in a request target written as
// %XX: spaces, control characters, non-ASCII characters (their UTF-8 bytes),
// "#", "\" and the like. A "%" that already starts an escape stays as it is,
// so encoding twice changes nothing.
QString encodePath(const QString &path);

// Why an address cannot be fetched, in words for the user; empty when it can.
// Refused: a scheme other than http, https and ftp (an address without one is
// HTTP, or FTP when its host begins with "ftp"), a control character, and a
// CR, LF or NUL written as an escape anywhere in it. Whatever part the address
// is later split into (user, password, host, path, query), decoded, none of
// them can then end a request line, a header line or an FTP command early and
// start one of its own.
QString urlRefusal(const QString &url);

// The address in the form that is stored and requested: scheme and host as
// given, fragment dropped, path and query through encodePath ("h?q" becomes
// "h/?q"). False, with *safe untouched and the reason in *why, when
// urlRefusal refuses the address: no form of it can be sent.
bool safeUrl(const QString &url, QString *safe, QString *why = nullptr);

// The lines of a request or a command batch, each ended by CR LF, into *out.
// False, with *out untouched, when a line holds a CR, LF or NUL of its own:
// the text after it would go out as a header or a command of its own. Every
// request the program sends is built here.
bool joinLines(const QList<QByteArray> &lines, QByteArray *out);

// The address a redirection leads to, from its Location value and the host and
// path of the address that was asked, resolved the way a browser does (QUrl):
// an address with a scheme as it is, "//h/p" with the asked address's scheme
// before it, "/p" on the same host, "?q" on the same path, and any other text
// beside the last "/" of the path. A "user:password@" of the asked host goes
// with it only to that same host (scheme, host and port), never to another
// server. Empty for an empty or unusable location.
QString resolveLocation(const QString &host, const QString &path, const QString &location,
                         const QString &scheme = QStringLiteral("http"));

// True when both addresses name the same server: scheme (an address without
// one is HTTP), host and port (the scheme's own when none is written) alike.
// What goes only to the server the user addressed is sent where this holds.
bool sameServer(const QString &a, const QString &b);

// The host text of an address without its "user:password@" part, which goes
// (escapes decoded) into user and password; both are left as they are when
// the host names no user.
QString splitLogin(const QString &host, QByteArray *user, QByteArray *password);

// An address (or a host text) without its "user:password@" part, which goes,
// as written (escapes kept), into *login when given.
QString withoutLogin(const QString &address, QString *login = nullptr);
// The address (or host text) with login ("user:password", escapes kept) as
// its "user:password@" part, in place of any it had; unchanged for an empty
// login.
QString withLogin(const QString &address, const QString &login);
// The "user:password" of an address for a user name and a password as typed:
// every character that would end the user or the password early escaped.
QString loginText(const QString &user, const QString &password);

// The path an FTP command names: an address path with its escapes decoded.
// False when the decoded path holds a control character (it would end the
// command line early and start another).
bool ftpServerPath(const QString &path, QString *decoded);
