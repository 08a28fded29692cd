#include "core/url_hand_off.h"

#include "core/settings.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <unistd.h>

const QByteArray UrlHandOff::Prefix = QByteArrayLiteral("--RVQ--");
const QByteArray UrlHandOff::ProbePrefix = QByteArrayLiteral("--RVQ-PROBE--");
const QByteArray UrlHandOff::ShowRequest = QByteArrayLiteral("--SHOW--");
const QByteArray UrlHandOff::Ack = QByteArrayLiteral("--OK--");
const QByteArray UrlHandOff::Probed = QByteArrayLiteral("--PROBED--");
const QByteArray UrlHandOff::Refused = QByteArrayLiteral("--REFUSED--");

namespace {
// A folder of this user that nobody else may enter, list or write.
bool isPrivate(const QString &path)
{
    const QFileInfo info(path);
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
                                      | QFile::WriteOther | QFile::ExeOther;
    return info.isDir() && !info.isSymLink() && info.ownerId() == ::getuid() && !(info.permissions() & others);
}
} // namespace

QString UrlHandOff::folder(QString *failure)
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && isPrivate(runtime))
        return QDir::cleanPath(runtime);
    // No runtime folder of the user's own: a folder made for the purpose.
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    const QString own = cache + QStringLiteral("/zov-kestra-download");
    if (!cache.isEmpty() && QDir().mkpath(own))
        QFile::setPermissions(own, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!cache.isEmpty() && isPrivate(own))
        return own;
    if (failure)
        *failure = QStringLiteral("no folder of this user's own for the hand-off socket ($XDG_RUNTIME_DIR or %1)").arg(own);
    return QString();
}

QString UrlHandOff::socketPath(QString *failure)
{
    const QString dir = folder(failure);
    return dir.isEmpty() ? QString() : dir + QLatin1Char('/') + Settings::applicationName() + QStringLiteral(".handoff");
}

quint16 UrlHandOff::configuredPort()
{
    const qint64 port = Settings::readInt(QStringLiteral("ListenPort"), 0);
    return port >= 1 && port <= 65535 ? quint16(port) : 0;
}

bool UrlHandOff::send(const QString &address, int timeoutMs, QString *failure)
{
    return deliver(Prefix + address.toUtf8(), timeoutMs, 0, failure) == Outcome::Taken;
}

UrlHandOff::Outcome UrlHandOff::send(const QString &address, const QByteArray &headerLines, int timeoutMs,
                                     int probeMs, QString *why)
{
    QByteArray message = (probeMs > 0 ? ProbePrefix : Prefix) + address.toUtf8();
    if (!headerLines.isEmpty())
        message += '\n' + headerLines;
    return deliver(message, timeoutMs, probeMs, why);
}

bool UrlHandOff::requestShow(int timeoutMs, QString *failure)
{
    return deliver(ShowRequest, timeoutMs, 0, failure) == Outcome::Taken;
}

UrlHandOff::Outcome UrlHandOff::deliver(const QByteArray &message, int timeoutMs, int probeMs, QString *failure)
{
    QString reason;
    const QString path = socketPath(&reason);
    const QDeadlineTimer deadline(timeoutMs);
    const auto left = [](const QDeadlineTimer &until) { return int(qMax<qint64>(1, until.remainingTime())); };
    // A refusal is one line; the program hangs up after it.
    const auto refusal = [](const QByteArray &answer) { return answer.startsWith(Refused) && answer.endsWith('\n'); };
    while (!path.isEmpty()) {
        QLocalSocket socket;
        socket.connectToServer(path);
        if (socket.waitForConnected(left(deadline))) {
            socket.write(message);
            // The answer comes once the program has taken the message; a
            // program that closes without it did not.
            QByteArray answer;
            const auto readWhile = [&](const QDeadlineTimer &until, const auto &more) {
                while (more() && (socket.bytesAvailable() > 0 || socket.waitForReadyRead(left(until))))
                    answer += socket.readAll();
            };
            readWhile(deadline, [&] { return !answer.startsWith(Ack) && !refusal(answer); });
            if (answer.startsWith(Ack) && probeMs > 0) {
                // Taken; the probe may take a while (a slow server, a dialog
                // the user has open before it).
                const QDeadlineTimer probed(probeMs);
                readWhile(probed, [&] {
                    const QByteArray rest = answer.mid(Ack.size());
                    return !rest.startsWith(Probed) && !refusal(rest);
                });
                answer.remove(0, Ack.size());
                if (answer.startsWith(Probed))
                    return Outcome::Taken;
                if (!refusal(answer)) {
                    if (failure)
                        *failure = QStringLiteral("ZOV Kestra Download took the address but did not test it in time");
                    return Outcome::Late;
                }
            } else if (answer.startsWith(Ack)) {
                return Outcome::Taken;
            }
            if (refusal(answer)) {
                if (failure)
                    *failure = QString::fromUtf8(answer.mid(Refused.size()).trimmed());
                return Outcome::Refused;
            }
            reason = socket.error() == QLocalSocket::SocketTimeoutError
                         ? QStringLiteral("no answer from ZOV Kestra Download")
                         : QStringLiteral("ZOV Kestra Download did not take it");
            break;
        }
        reason = socket.errorString();
        // Not there yet: a program being started opens its socket in a moment.
        const bool absent = socket.error() == QLocalSocket::ServerNotFoundError
                            || socket.error() == QLocalSocket::ConnectionRefusedError;
        if (!absent || deadline.hasExpired())
            break;
        QThread::msleep(qMin(100, left(deadline)));
    }
    if (failure)
        *failure = path.isEmpty() ? reason
                                  : QStringLiteral("ZOV Kestra Download is not running or did not take it at %1 (%2)")
                                        .arg(path, reason);
    return Outcome::Unreachable;
}
