#include "engine/cookie_file.h"

#include "core/text_file.h"
#include "engine/url_helpers.h"
#include "engine/url_probe.h"

#include <QFileInfo>
#include <QNetworkCookieJar>

#include <algorithm>

// Qt holds and matches cookies (QNetworkCookie, QNetworkCookieJar) but reads
// them only from Set-Cookie lines; the file format of curl, wget and the
// browsers' exports it does not read, so its lines are taken apart here.
// Matching them to an address is left to QNetworkCookieJar.

namespace {
bool flag(const QByteArray &field, bool *value)
{
    if (field.compare("TRUE", Qt::CaseInsensitive) == 0)
        *value = true;
    else if (field.compare("FALSE", Qt::CaseInsensitive) == 0)
        *value = false;
    else
        return false;
    return true;
}

// What a Cookie header line can carry: no control character, and no ";"
// (it would split the cookie in two); a name with no "=" or space either.
bool fitsHeader(const QByteArray &text, bool name)
{
    return std::none_of(text.cbegin(), text.cend(), [name](char c) {
        return uchar(c) < 0x20 || c == 0x7f || c == ';' || (name && (c == '=' || c == ' '));
    });
}

// The jar whose matching the file's cookies go through, as they are: the
// file already says which domain each cookie belongs to, so the checks
// setCookiesFromUrl makes of a server's Set-Cookie do not apply.
class Jar : public QNetworkCookieJar
{
public:
    explicit Jar(const QList<QNetworkCookie> &cookies) { setAllCookies(cookies); }
};
} // namespace

namespace CookieFile {

QList<QNetworkCookie> parse(const QByteArray &text, const QDateTime &now)
{
    QList<QNetworkCookie> cookies;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        bool httpOnly = false;
        if (line.startsWith("#HttpOnly_")) {
            httpOnly = true;
            line.remove(0, 10);
        } else if (line.startsWith('#') || line.trimmed().isEmpty()) {
            continue;
        }
        const QList<QByteArray> f = line.split('\t');
        bool subdomains = false, secure = false, number = false;
        if (f.size() != 7 || !flag(f[1], &subdomains) || !flag(f[3], &secure))
            continue;
        const qint64 expiry = f[4].toLongLong(&number);
        QByteArray domain = f[0].toLower();
        while (domain.startsWith('.'))
            domain.remove(0, 1);
        if (!number || expiry < 0 || domain.isEmpty() || f[5].isEmpty() || !fitsHeader(f[5], true)
            || !fitsHeader(f[6], false) || !f[2].startsWith('/'))
            continue;
        // 0: a session cookie, kept until the browser closes; the file lasts longer.
        if (expiry != 0 && QDateTime::fromSecsSinceEpoch(expiry, Qt::UTC) <= now)
            continue;
        QNetworkCookie cookie(f[5], f[6]);
        // A leading "." is what tells QNetworkCookieJar that subdomains match too.
        cookie.setDomain(QString::fromUtf8(subdomains ? "." + domain : domain));
        cookie.setPath(QString::fromUtf8(f[2]));
        cookie.setSecure(secure);
        cookie.setHttpOnly(httpOnly);
        if (expiry != 0)
            cookie.setExpirationDate(QDateTime::fromSecsSinceEpoch(expiry, Qt::UTC));
        cookies.append(cookie);
    }
    return cookies;
}

QByteArray headerFor(const QList<QNetworkCookie> &cookies, const QUrl &url)
{
    QByteArray header;
    for (const QNetworkCookie &cookie : Jar(cookies).cookiesForUrl(url))
        header += (header.isEmpty() ? "" : "; ") + cookie.toRawForm(QNetworkCookie::NameAndValueOnly);
    return header;
}

QByteArray headerFromFile(const QString &path, const QString &address, bool *read)
{
    *read = false;
    const QByteArray text = QFileInfo(path).isFile() ? TextFile::read(path, read) : QByteArray();
    if (!*read)
        return {};
    // The address as it is requested (scheme, host, path): what the cookies'
    // domain, path and secure flag are matched against.
    QString requested = withoutLogin(UrlProbe::storedAddress(address));
    if (!requested.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        requested.prepend(QStringLiteral("http://"));
    return headerFor(parse(text, QDateTime::currentDateTimeUtc()), QUrl(requested));
}

} // namespace CookieFile
