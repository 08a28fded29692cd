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
const QByteArray UrlHandOff::ShowRequest = QByteArrayLiteral("--SHOW--");
const QByteArray UrlHandOff::Ack = QByteArrayLiteral("--OK--");

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
    return deliver(Prefix + address.toUtf8(), timeoutMs, failure);
}

bool UrlHandOff::requestShow(int timeoutMs, QString *failure)
{
    return deliver(ShowRequest, timeoutMs, failure);
}

bool UrlHandOff::deliver(const QByteArray &message, int timeoutMs, QString *failure)
{
    QString reason;
    const QString path = socketPath(&reason);
    const QDeadlineTimer deadline(timeoutMs);
    const auto left = [&deadline] { return int(qMax<qint64>(1, deadline.remainingTime())); };
    while (!path.isEmpty()) {
        QLocalSocket socket;
        socket.connectToServer(path);
        if (socket.waitForConnected(left())) {
            socket.write(message);
            // The answer comes once the program has taken the message; a
            // program that closes without it did not.
            QByteArray answer;
            while (answer.size() < Ack.size() && (socket.bytesAvailable() > 0 || socket.waitForReadyRead(left())))
                answer += socket.readAll();
            if (answer.startsWith(Ack))
                return true;
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
        QThread::msleep(qMin(100, left()));
    }
    if (failure)
        *failure = path.isEmpty() ? reason
                                  : QStringLiteral("ZOV Kestra Download is not running or did not take it at %1 (%2)")
                                        .arg(path, reason);
    return false;
}
