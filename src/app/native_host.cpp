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

#include <algorithm>
#include <cstring>

const QString NativeHost::Name = QStringLiteral("org.zovkestra.download");

namespace {
const QString kChromiumOrigin = QStringLiteral("chrome-extension://dedfkihbmbcpkmlljmkhaebfgpeimibp/");
const QString kFirefoxId = QStringLiteral("zov-kestra-download@zovkestra.org");

QByteArray result(const QString &error = QString())
{
    QJsonObject o{{QStringLiteral("ok"), error.isEmpty()}};
    if (!error.isEmpty())
        o.insert(QStringLiteral("error"), error);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
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
    const QString address = doc.object().value(QStringLiteral("url")).toString().trimmed();
    if (!doc.isObject() || address.isEmpty())
        return result(QStringLiteral("expected {\"url\": \"...\"}"));
    const QUrl url(address, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https") && scheme != QLatin1String("ftp")))
        return result(QStringLiteral("only http://, https:// and ftp:// addresses can be downloaded"));
    QString failure;
    return deliver(address, &failure) ? result() : result(failure);
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
            write(out, result(QStringLiteral("message over 64 KiB")));
            continue;
        }
        QByteArray body(qsizetype(length), Qt::Uninitialized);
        if (!readExactly(in, body.data(), length)) {
            write(out, result(QStringLiteral("message cut short")));
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
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    const QString file = Name + QStringLiteral(".json");
    return {config + QStringLiteral("/chromium/NativeMessagingHosts/") + file,
            config + QStringLiteral("/google-chrome/NativeMessagingHosts/") + file,
            QDir::homePath() + QStringLiteral("/.mozilla/native-messaging-hosts/") + file};
}

QString NativeHost::hostPath()
{
    return ProgramFolder::executableDir() + QStringLiteral("/zov-kestra-native-host");
}

bool NativeHost::installForUser()
{
    bool ok = true;
    for (const QString &path : userManifestPaths()) {
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

bool NativeHost::installedForUser()
{
    const QStringList paths = userManifestPaths();
    return std::all_of(paths.begin(), paths.end(), [](const QString &path) { return QFile::exists(path); });
}
