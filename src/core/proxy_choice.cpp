#include "core/proxy_choice.h"

#include "core/settings.h"
#include "core/winsock.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>

// Qt's QNetworkProxyFactory::systemProxyForQuery reads the same variables on
// Linux, but not as curl and wget do: lower case only, https falling back to
// http_proxy, all_proxy unused for http, https and ftp, a "*" list that exempts
// nothing, a proxy without scheme misread, and port 8080 by default. The choice
// is therefore made here; Qt's QNetworkProxy still carries it to the sockets,
// and QUrl and QHostAddress read the addresses.

namespace {

QString g_override;  // null: the setting decides

// The first of the variables that is set and not empty.
QString firstSet(const QProcessEnvironment &env, std::initializer_list<const char *> names)
{
    for (const char *n : names) {
        const QString v = env.value(QString::fromLatin1(n)).trimmed();
        if (!v.isEmpty())
            return v;
    }
    return {};
}

QString withoutBrackets(const QString &host)
{
    return host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')) ? host.mid(1, host.size() - 2) : host;
}

// One no_proxy entry (port already taken off) against the server's name.
bool entryMatches(QString entry, QString host)
{
    const QHostAddress address(host);
    if (!address.isNull()) {
        if (entry.contains(QLatin1Char('/'))) {
            const auto subnet = QHostAddress::parseSubnet(entry);
            return !subnet.first.isNull() && address.isInSubnet(subnet);
        }
        return QHostAddress(entry) == address;
    }
    if (entry.startsWith(QLatin1String("*.")))
        entry.remove(0, 1);
    while (entry.endsWith(QLatin1Char('.')))
        entry.chop(1);
    while (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    if (entry.startsWith(QLatin1Char('.')))
        entry.remove(0, 1);
    if (entry.isEmpty())
        return false;
    return host.compare(entry, Qt::CaseInsensitive) == 0
           || host.endsWith(QLatin1Char('.') + entry, Qt::CaseInsensitive);
}

} // namespace

void ProxyChoice::setOverride(const QString &text)
{
    g_override = text;
}

ProxyChoice ProxyChoice::forServer(const QString &scheme, const QString &server)
{
    const QString s = scheme.toLower();
    QString host;
    quint16 port = 0;
    Winsock::splitHostPort(server, s == QLatin1String("https") ? 443 : s == QLatin1String("ftp") ? 21 : 80, &host, &port);
    return choose(g_override.isNull() ? Settings::proxy() : g_override, QProcessEnvironment::systemEnvironment(),
                  scheme, host, port);
}

ProxyChoice ProxyChoice::choose(const QString &setting, const QProcessEnvironment &env, const QString &scheme,
                                const QString &host, quint16 port)
{
    // no_proxy holds for the setting too, as curl holds it for its --proxy.
    const QString set = setting.trimmed();
    if (exempt(firstSet(env, {"no_proxy", "NO_PROXY"}), host, port))
        return {};
    if (!set.isEmpty())
        return fromAddress(set);
    const QString s = scheme.toLower();
    QString address;
    if (s == QLatin1String("http"))
        address = firstSet(env, {"http_proxy"});
    else if (s == QLatin1String("https"))
        address = firstSet(env, {"https_proxy", "HTTPS_PROXY"});
    else if (s == QLatin1String("ftp"))
        address = firstSet(env, {"ftp_proxy", "FTP_PROXY"});
    if (address.isEmpty())
        address = firstSet(env, {"all_proxy", "ALL_PROXY"});
    return fromAddress(address);
}

bool ProxyChoice::exempt(const QString &noProxy, const QString &host, quint16 port)
{
    const QString server = withoutBrackets(host);
    if (server.isEmpty())
        return false;
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    const QStringList entries = noProxy.split(separators, Qt::SkipEmptyParts);
    for (const QString &e : entries) {
        if (e == QLatin1String("*"))
            return true;
        // "name:port", "[v6]:port" and "a.b.c.d:port" name one port; a bare
        // IPv6 address keeps its colons.
        QString name;
        quint16 entryPort = 0;
        Winsock::splitHostPort(e, 0, &name, &entryPort);
        if (entryPort != 0 && entryPort != port)
            continue;
        if (entryMatches(withoutBrackets(name), server))
            return true;
    }
    return false;
}

ProxyChoice ProxyChoice::fromAddress(const QString &text)
{
    ProxyChoice c;
    if (text.isEmpty() || text.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0)
        return c;
    // Without a scheme the address is an HTTP proxy's ("proxy:3128"), as curl reads it.
    const QUrl url(text.contains(QLatin1String("://")) ? text : QStringLiteral("http://") + text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        c.m_error = QStringLiteral("The proxy address %1 cannot be read").arg(text);
        return c;
    }
    if (url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0) {
        c.m_error = QStringLiteral("The proxy %1 is not an HTTP proxy (http://host:port); no other kind is supported")
                        .arg(text);
        return c;
    }
    c.m_proxy = QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port(1080)),
                              url.userName(QUrl::FullyDecoded), url.password(QUrl::FullyDecoded));
    return c;
}

QString ProxyChoice::name() const
{
    if (m_proxy.type() == QNetworkProxy::NoProxy)
        return {};
    const QString host = m_proxy.hostName().contains(QLatin1Char(':')) ? QLatin1Char('[') + m_proxy.hostName() + QLatin1Char(']')
                                                                        : m_proxy.hostName();
    return host + QLatin1Char(':') + QString::number(m_proxy.port());
}

QByteArray ProxyChoice::authorization() const
{
    if (m_proxy.user().isEmpty() && m_proxy.password().isEmpty())
        return {};
    return "Basic " + (m_proxy.user().toUtf8() + ':' + m_proxy.password().toUtf8()).toBase64();
}
