#include "support/proxy_server.h"

#include "support/nginx_server.h"
#include "support/stop_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpSocket>

bool ProxyServer::start(const QString &user, const QString &password, quint16 tunnelPort)
{
    stop();
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_dir = std::make_unique<QTemporaryDir>();
        const QList<quint16> ports = freeListenPorts(1);
        if (ports.isEmpty()) {
            m_lastError = QStringLiteral("no free port");
            return false;
        }
        m_port = ports.first();
        QFile conf(m_dir->filePath(QStringLiteral("tinyproxy.conf")));
        if (!conf.open(QIODevice::WriteOnly))
            return false;
        // Without a ConnectPort line tinyproxy tunnels to every port.
        QByteArray text = "Port " + QByteArray::number(m_port) + "\nListen 127.0.0.1\nTimeout 60\nMaxClients 100\n"
                          "Allow 127.0.0.1\nDisableViaHeader Yes\nLogLevel Info\n"
                          "LogFile \"" + m_dir->filePath(QStringLiteral("tinyproxy.log")).toUtf8() + "\"\n";
        if (tunnelPort != 0)
            text += "ConnectPort " + QByteArray::number(tunnelPort) + '\n';
        if (!user.isEmpty())
            text += "BasicAuth " + user.toUtf8() + ' ' + password.toUtf8() + '\n';
        conf.write(text);
        conf.close();
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_process->start(QStringLiteral("tinyproxy"), {"-d", "-c", conf.fileName()});
        if (!m_process->waitForStarted(5000)) {
            m_lastError = QStringLiteral("tinyproxy did not start: ") + m_process->errorString();
            return false;
        }
        for (const QDeadlineTimer deadline(10000); !deadline.hasExpired(); m_process->waitForFinished(50)) {
            if (m_process->state() != QProcess::Running)
                break;
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, m_port);
            if (s.waitForConnected(200))
                return true;
        }
        m_lastError = QStringLiteral("tinyproxy did not listen on port %1\n").arg(m_port)
                      + QString::fromUtf8(m_process->readAll());
        stop();
    }
    return false;
}

void ProxyServer::stop()
{
    stopProcess(m_process.get());
    m_process.reset();
}

QList<QByteArray> ProxyServer::logLines() const
{
    if (!m_dir)
        return {};
    QFile log(m_dir->filePath(QStringLiteral("tinyproxy.log")));
    return log.open(QIODevice::ReadOnly) ? log.readAll().split('\n') : QList<QByteArray>();
}

QList<QByteArray> ProxyServer::requests() const
{
    // "CONNECT   Dec 06 07:25:00.688 [3269]: Request (file descriptor 5): GET http://h/ HTTP/1.1"
    QList<QByteArray> found;
    for (const QByteArray &line : logLines()) {
        const qsizetype at = line.indexOf("): ");
        if (line.contains("]: Request (file descriptor") && at > 0)
            found.append(line.mid(at + 3).trimmed());
    }
    return found;
}

int ProxyServer::upstreamConnections(quint16 port) const
{
    // "INFO      Dec 06 07:25:00.699 [3269]: opensock: opening connection to 127.0.0.1:9"
    const QByteArray opened = "]: opensock: opening connection to 127.0.0.1:" + QByteArray::number(port);
    int n = 0;
    for (const QByteArray &line : logLines())
        n += line.trimmed().endsWith(opened) ? 1 : 0;
    return n;
}
