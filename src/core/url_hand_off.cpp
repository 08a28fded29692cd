#include "core/url_hand_off.h"

#include "core/settings.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>

quint16 UrlHandOff::configuredPort()
{
    const qint64 port = Settings::readInt(QStringLiteral("ListenPort"), DefaultPort);
    return port >= 1 && port <= 65535 ? quint16(port) : DefaultPort;
}

bool UrlHandOff::send(const QString &address, quint16 port, int timeoutMs, QString *failure)
{
    const QByteArray message = QByteArrayLiteral("--RVQ--") + address.toUtf8();
    QDeadlineTimer deadline(timeoutMs);
    QString reason;
    do {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) {
            socket.write(message);
            // The listener reads one block, then closes: its close is the
            // receipt. A listener that takes the bytes and says nothing
            // still got them once they are written.
            if (socket.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime())))
                || socket.bytesToWrite() == 0) {
                socket.waitForDisconnected(int(qMax<qint64>(1, deadline.remainingTime())));
                return true;
            }
            reason = socket.errorString();
        } else {
            reason = socket.errorString();
            if (socket.error() != QAbstractSocket::ConnectionRefusedError)
                break;
        }
        QThread::msleep(100);
    } while (!deadline.hasExpired());
    if (failure)
        *failure = QStringLiteral("ZOV Kestra Download is not running or does not listen on 127.0.0.1 port %1 (%2)")
                       .arg(port)
                       .arg(reason);
    return false;
}
