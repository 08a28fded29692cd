#include "app/native_host.h"

#include "core/program_folder.h"
#include "core/text_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <utility>
#include <cstring>

const QString NativeHost::Name = QStringLiteral("org.zovkestra.download");

namespace {
const QString kChromiumOrigin = QStringLiteral("chrome-extension://dedfkihbmbcpkmlljmkhaebfgpeimibp/");
const QString kFirefoxId = QStringLiteral("zov-kestra-download@zovkestra.org");

// Each browser's folders for host manifests: the user's (below the
// configuration folder, or the home folder for Firefox) and the system's.
struct Browser
{
    const char *name;
    const char *user;
    const char *system;
};
constexpr Browser kBrowsers[] = {
    {"Chromium", "@/chromium/NativeMessagingHosts", "/etc/chromium/native-messaging-hosts"},
    {"Google Chrome", "@/google-chrome/NativeMessagingHosts", "/etc/opt/chrome/native-messaging-hosts"},
    {"Brave", "@/BraveSoftware/Brave-Browser/NativeMessagingHosts", "/etc/opt/brave.com/brave/native-messaging-hosts"},
    {"Vivaldi", "@/vivaldi/NativeMessagingHosts", "/etc/opt/vivaldi/native-messaging-hosts"},
    {"Microsoft Edge", "@/microsoft-edge/NativeMessagingHosts", "/etc/opt/edge/native-messaging-hosts"},
    {"Firefox", "~/.mozilla/native-messaging-hosts", "/usr/lib/mozilla/native-messaging-hosts"},
};

QString userFolder(const Browser &b)
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    QString path = QString::fromLatin1(b.user);
    return path.startsWith(QLatin1Char('@')) ? config + path.mid(1) : QDir::homePath() + path.mid(1);
}

QString manifestName()
{
    return NativeHost::Name + QStringLiteral(".json");
}

QByteArray result(const QString &cause = QString(), const QString &why = QString())
{
    QJsonObject o{{QStringLiteral("ok"), cause.isEmpty()}};
    if (!cause.isEmpty()) {
        o.insert(QStringLiteral("cause"), cause);
        o.insert(QStringLiteral("why"), why);
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray refused(const QString &why)
{
    return result(QStringLiteral("refused"), why);
}

// Reads exactly size bytes unless the input ends first. The input is a
// blocking pipe: a read returns once some bytes are there, and 0 at its end.
bool readExactly(QIODevice &in, char *data, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const qint64 n = in.read(data + done, size - done);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

void write(QIODevice &out, const QByteArray &body)
{
    const quint32 length = quint32(body.size());
    char head[4];
    std::memcpy(head, &length, 4);
    out.write(head, 4);
    out.write(body);
    out.waitForBytesWritten(-1);
}
} // namespace

QByteArray NativeHost::answer(const QByteArray &message, const Deliver &deliver)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(message, &error);
    const QJsonObject o = doc.object();
    Request request;
    request.address = o.value(QStringLiteral("url")).toString().trimmed();
    request.probe = o.value(QStringLiteral("probe")).toBool();
    if (!doc.isObject() || request.address.isEmpty())
        return refused(QStringLiteral("expected {\"url\": \"...\"}"));
    const QUrl url(request.address, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https") && scheme != QLatin1String("ftp")))
        return refused(QStringLiteral("only http://, https:// and ftp:// addresses can be downloaded"));
    // The browser's session for the address, as the lines its requests carry.
    // A line break would start a header of the sender's choosing: refused.
    for (const auto &[field, name] : {std::pair{"referrer", "Referer"}, {"userAgent", "User-Agent"}, {"cookies", "Cookie"}}) {
        const QString value = o.value(QLatin1String(field)).toString();
        if (value.isEmpty())
            continue;
        if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r')))
            return refused(QStringLiteral("the %1 holds a line break").arg(QLatin1String(field)));
        request.headerLines += (request.headerLines.isEmpty() ? "" : "\n") + QByteArray(name) + ": " + value.toUtf8();
    }
    QString why;
    switch (deliver(request, &why)) {
    case UrlHandOff::Outcome::Taken:
        return result();
    case UrlHandOff::Outcome::Refused:
        return refused(why);
    case UrlHandOff::Outcome::Late:
        return result(QStringLiteral("late"), why);
    case UrlHandOff::Outcome::Unreachable:
        break;
    }
    return result(QStringLiteral("not-running"), why);
}

int NativeHost::serve(QIODevice &in, QIODevice &out, const Deliver &deliver)
{
    for (;;) {
        char head[4];
        if (!readExactly(in, head, 1))
            return 0;
        if (!readExactly(in, head + 1, 3))
            return 1;
        quint32 length = 0;
        std::memcpy(&length, head, 4);
        if (length > MaxMessage) {
            // Read past it, so that the next message is found where it starts.
            QByteArray skip(64 * 1024, Qt::Uninitialized);
            for (quint32 left = length; left > 0;) {
                const quint32 n = qMin<quint32>(left, quint32(skip.size()));
                if (!readExactly(in, skip.data(), n))
                    return 1;
                left -= n;
            }
            write(out, refused(QStringLiteral("message over 64 KiB")));
            continue;
        }
        QByteArray body(qsizetype(length), Qt::Uninitialized);
        if (!readExactly(in, body.data(), length)) {
            write(out, refused(QStringLiteral("message cut short")));
            return 1;
        }
        write(out, answer(body, deliver));
    }
}

QByteArray NativeHost::manifest(const QString &browser, const QString &hostPath)
{
    QJsonObject o{{QStringLiteral("name"), Name},
                  {QStringLiteral("description"), QStringLiteral("ZOV Kestra Download: takes addresses from the browser")},
                  {QStringLiteral("path"), hostPath},
                  {QStringLiteral("type"), QStringLiteral("stdio")}};
    if (browser == QLatin1String("firefox"))
        o.insert(QStringLiteral("allowed_extensions"), QJsonArray{kFirefoxId});
    else
        o.insert(QStringLiteral("allowed_origins"), QJsonArray{kChromiumOrigin});
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

QStringList NativeHost::userManifestPaths()
{
    QStringList paths;
    for (const Browser &b : kBrowsers)
        paths << userFolder(b) + QLatin1Char('/') + manifestName();
    return paths;
}

QStringList NativeHost::systemManifestPaths()
{
    QStringList paths;
    for (const Browser &b : kBrowsers)
        paths << QString::fromLatin1(b.system) + QLatin1Char('/') + manifestName();
    return paths;
}

QString NativeHost::browserOf(const QString &manifestPath)
{
    const QString folder = QFileInfo(manifestPath).absolutePath();
    for (const Browser &b : kBrowsers)
        if (folder == userFolder(b) || folder == QLatin1String(b.system))
            return QString::fromLatin1(b.name);
    return QString();
}

QString NativeHost::hostPath()
{
    return ProgramFolder::executableDir() + QStringLiteral("/zov-kestra-native-host");
}

bool NativeHost::installForUser()
{
    // A browser's own folder (~/.config/chromium, ~/.mozilla) exists once it
    // has run for this user.
    QStringList paths;
    for (const QString &path : userManifestPaths())
        if (QFileInfo(QFileInfo(path).absolutePath()).dir().exists())
            paths << path;
    if (paths.isEmpty())
        paths = userManifestPaths();
    bool ok = true;
    for (const QString &path : paths) {
        const QString browser = path.contains(QLatin1String("/.mozilla/")) ? QStringLiteral("firefox")
                                                                          : QStringLiteral("chromium");
        ok = QDir().mkpath(QFileInfo(path).absolutePath()) && TextFile::write(path, manifest(browser, hostPath())) && ok;
    }
    return ok;
}

void NativeHost::removeForUser()
{
    for (const QString &path : userManifestPaths())
        QFile::remove(path);
}

QStringList NativeHost::installedForUser()
{
    QStringList found;
    for (const QString &path : userManifestPaths())
        if (QFile::exists(path))
            found << path;
    return found;
}
