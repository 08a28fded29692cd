#include "engine/url_helpers.h"

#include <QByteArray>
#include <QUrl>

#include <algorithm>
#include <cstring>

namespace {

// Where the scheme's "://" is, or -1 when the address has none: a "://" after
// the first "/", "?" or "#" belongs to the path or the query.
qsizetype schemeEnd(const QString &url)
{
    const qsizetype sep = url.indexOf(QStringLiteral("://"));
    if (sep < 0)
        return -1;
    for (qsizetype i = 0; i < sep; ++i) {
        const QChar c = url.at(i);
        if (c == QLatin1Char('/') || c == QLatin1Char('?') || c == QLatin1Char('#'))
            return -1;
    }
    return sep;
}

QString withoutFragment(const QString &url)
{
    const qsizetype hash = url.indexOf(QLatin1Char('#'));
    return hash >= 0 ? url.left(hash) : url;
}

QString splitUrl(QString &strUrl, QString *path)
{
    const qsizetype scheme = schemeEnd(strUrl);
    if (scheme >= 0)
        strUrl = strUrl.mid(scheme + 3);

    const QString url = withoutFragment(strUrl);
    QString host;
    QString rest;
    const qsizetype slash = url.indexOf(QLatin1Char('/'));
    if (slash >= 0) {
        host = url.left(slash);
        rest = encodePath(url.mid(slash));
    } else if (!url.isEmpty()) {
        host = url;
        rest = QStringLiteral("/");
    }
    if (path)
        *path = rest;
    return host;
}

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Bytes a request target carries as they are (RFC 3986 pchar; the query also
// allows "/" and "?", which the path has anyway or cannot hold).
bool keptInTarget(char c, bool query)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    if (c != 0 && std::strchr("-._~!$&'()*+,;=:@/", c))
        return true;
    return query && c == '?';
}

QByteArray encodePart(const QByteArray &bytes, bool query)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes.at(i);
        if (keptInTarget(c, query)
            || (c == '%' && i + 2 < bytes.size() && isHex(bytes.at(i + 1)) && isHex(bytes.at(i + 2)))) {
            out += c;
        } else {
            const uchar u = uchar(c);
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 0xf];
        }
    }
    return out;
}

int defaultPort(const QString &scheme)
{
    const QString s = scheme.toLower();
    return s == QLatin1String("https") ? 443 : s == QLatin1String("ftp") ? 21 : 80;
}

// Where the host text of an address starts and ends (the login included).
std::pair<qsizetype, qsizetype> hostSpan(const QString &address)
{
    const qsizetype scheme = schemeEnd(address);
    const qsizetype from = scheme >= 0 ? scheme + 3 : 0;
    qsizetype end = from;
    while (end < address.size() && address.at(end) != QLatin1Char('/') && address.at(end) != QLatin1Char('?')
           && address.at(end) != QLatin1Char('#'))
        ++end;
    return {from, end};
}

} // namespace

QString Extract_URL(QString &strUrl, QString *path)
{
    return splitUrl(strUrl, path);
}

QString Extract_URL2(QString &strUrl, QString *path)
{
    return splitUrl(strUrl, path);
}

QString Extract_FileName(const QString &text)
{
    QString t = withoutFragment(text);
    const qsizetype query = t.indexOf(QLatin1Char('?'));
    if (query >= 0)
        t.truncate(query);
    const qsizetype slash = t.lastIndexOf(QLatin1Char('/'));
    return slash >= 0 ? t.mid(slash + 1) : t;
}

QString fileNameOf(const QString &address)
{
    return safeFileName(QUrl::fromPercentEncoding(Extract_FileName(address).toUtf8()));
}

QString safeFileName(const QString &name)
{
    QString text = name.mid(std::max(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\'))) + 1);
    text.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
    text = text.trimmed();
    return isSafeName(text) ? text : QString();
}

QString baseNameOf(const QString &fileName)
{
    const qsizetype dot = fileName.indexOf(QLatin1Char('.'));
    return dot >= 0 ? fileName.left(dot) : fileName;
}

bool isSafeName(const QString &text)
{
    if (text.isEmpty() || text == QLatin1String(".") || text == QLatin1String(".."))
        return false;
    for (const QChar c : text) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

bool hasControlChar(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

QString removeDotSegments(const QString &path)
{
    QString in = path;
    QString out;
    const auto dropLastSegment = [&out]() {
        const qsizetype slash = out.lastIndexOf(QLatin1Char('/'));
        out.truncate(slash < 0 ? 0 : slash);
    };
    while (!in.isEmpty()) {
        if (in.startsWith(QLatin1String("../"))) {
            in.remove(0, 3);
        } else if (in.startsWith(QLatin1String("./"))) {
            in.remove(0, 2);
        } else if (in.startsWith(QLatin1String("/./"))) {
            in.remove(0, 2);
        } else if (in == QLatin1String("/.")) {
            in = QStringLiteral("/");
        } else if (in.startsWith(QLatin1String("/../"))) {
            in.remove(0, 3);
            dropLastSegment();
        } else if (in == QLatin1String("/..")) {
            in = QStringLiteral("/");
            dropLastSegment();
        } else if (in == QLatin1String(".") || in == QLatin1String("..")) {
            in.clear();
        } else {
            // The first segment, with its leading "/", moves to the output.
            qsizetype next = in.indexOf(QLatin1Char('/'), in.startsWith(QLatin1Char('/')) ? 1 : 0);
            if (next < 0)
                next = in.size();
            out += in.left(next);
            in.remove(0, next);
        }
    }
    return out;
}

QString encodePath(const QString &path)
{
    const qsizetype q = path.indexOf(QLatin1Char('?'));
    const QString p = removeDotSegments(q >= 0 ? path.left(q) : path);
    QByteArray out = encodePart(p.toUtf8(), false);
    if (q >= 0)
        out += '?' + encodePart(path.mid(q + 1).toUtf8(), true);
    return QString::fromLatin1(out);
}

QString urlRefusal(const QString &url)
{
    if (hasControlChar(url))
        return QStringLiteral("The address holds a control character.");
    const QString address = withoutFragment(url);
    const qsizetype scheme = schemeEnd(address);
    if (scheme >= 0) {
        const QString name = address.left(scheme).toLower();
        if (name != QLatin1String("http") && name != QLatin1String("https") && name != QLatin1String("ftp"))
            return QStringLiteral("Unsupported scheme \"%1\": only http, https and ftp addresses can be downloaded.")
                .arg(address.left(scheme));
    }
    const QByteArray decoded = QByteArray::fromPercentEncoding(address.toUtf8());
    if (decoded.contains('\r') || decoded.contains('\n') || decoded.contains('\0'))
        return QStringLiteral("The address holds an escaped line break or NUL byte (%0D, %0A or %00).");
    return QString();
}

bool safeUrl(const QString &url, QString *safe, QString *why)
{
    const QString refusal = urlRefusal(url);
    if (!refusal.isEmpty()) {
        if (why)
            *why = refusal;
        return false;
    }
    QString rest = withoutFragment(url);
    const qsizetype scheme = schemeEnd(rest);
    const QString prefix = scheme >= 0 ? rest.left(scheme + 3) : QString();
    rest = rest.mid(prefix.size());

    // The host ends at the first "/" or "?"; a query straight after the host
    // asks for the root path.
    qsizetype end = 0;
    while (end < rest.size() && rest.at(end) != QLatin1Char('/') && rest.at(end) != QLatin1Char('?'))
        ++end;
    QString path = rest.mid(end);
    if (path.startsWith(QLatin1Char('?')))
        path.prepend(QLatin1Char('/'));
    *safe = prefix + rest.left(end) + (path.isEmpty() ? QString() : encodePath(path));
    return true;
}

QString resolveLocation(const QString &host, const QString &path, const QString &location,
                         const QString &scheme)
{
    if (location.isEmpty())
        return QString();
    const QUrl base(scheme + QStringLiteral("://") + host + (path.isEmpty() ? QStringLiteral("/") : path));
    QUrl target = base.resolved(QUrl(location));
    if (!target.isValid() || target.scheme().isEmpty() || target.host().isEmpty())
        return QString();
    // A relative location keeps the asked address's login (QUrl takes its
    // authority); an absolute one gets it back only for that same server.
    const bool sameServer = target.scheme().compare(base.scheme(), Qt::CaseInsensitive) == 0
                            && target.host() == base.host()
                            && target.port(defaultPort(target.scheme())) == base.port(defaultPort(base.scheme()));
    if (sameServer && target.userInfo().isEmpty())
        target.setUserInfo(base.userInfo(QUrl::FullyEncoded));
    return target.toString(QUrl::FullyEncoded | QUrl::RemoveFragment);
}

bool ftpServerPath(const QString &path, QString *decoded)
{
    const QString text = QString::fromUtf8(QByteArray::fromPercentEncoding(path.toUtf8()));
    if (hasControlChar(text))
        return false;
    *decoded = text;
    return true;
}

bool sameServer(const QString &a, const QString &b)
{
    const auto server = [](const QString &address) {
        return QUrl(schemeEnd(address) >= 0 ? address : QStringLiteral("http://") + address);
    };
    const QUrl x = server(a), y = server(b);
    return x.isValid() && y.isValid() && !x.host().isEmpty()
           && x.scheme().compare(y.scheme(), Qt::CaseInsensitive) == 0 && x.host() == y.host()
           && x.port(defaultPort(x.scheme())) == y.port(defaultPort(y.scheme()));
}

QString splitLogin(const QString &host, QByteArray *user, QByteArray *password)
{
    const qsizetype at = host.lastIndexOf(QLatin1Char('@'));
    if (at < 0)
        return host;
    const QString login = host.left(at);
    const qsizetype colon = login.indexOf(QLatin1Char(':'));
    *user = QUrl::fromPercentEncoding(login.left(colon).toUtf8()).toUtf8();
    *password = colon >= 0 ? QUrl::fromPercentEncoding(login.mid(colon + 1).toUtf8()).toUtf8() : QByteArray();
    return host.mid(at + 1);
}

QString withoutLogin(const QString &address, QString *login)
{
    const auto [from, end] = hostSpan(address);
    const qsizetype at = end > from ? address.lastIndexOf(QLatin1Char('@'), end - 1) : -1;
    if (at < from) {
        if (login)
            login->clear();
        return address;
    }
    if (login)
        *login = address.mid(from, at - from);
    return address.left(from) + address.mid(at + 1);
}

QString withLogin(const QString &address, const QString &login)
{
    if (login.isEmpty())
        return address;
    const QString plain = withoutLogin(address);
    const qsizetype from = hostSpan(plain).first;
    return plain.left(from) + login + QLatin1Char('@') + plain.mid(from);
}

QString loginText(const QString &user, const QString &password)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(user) + ':' + QUrl::toPercentEncoding(password));
}

bool joinLines(const QList<QByteArray> &lines, QByteArray *out)
{
    QByteArray joined;
    for (const QByteArray &line : lines) {
        if (line.contains('\r') || line.contains('\n') || line.contains('\0'))
            return false;
        joined += line + "\r\n";
    }
    *out = joined;
    return true;
}
