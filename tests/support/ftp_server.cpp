#include "support/ftp_server.h"
#include "support/stop_process.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>

namespace {
const char *const kPython = "/usr/bin/python3";
}

FtpServer::FtpServer() = default;

FtpServer::~FtpServer()
{
    stop();
}

QString FtpServer::hostPort() const
{
    return QStringLiteral("127.0.0.1:") + QString::number(m_port);
}

QString FtpServer::baseUrl() const
{
    return QStringLiteral("ftp://") + hostPort();
}

bool FtpServer::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

bool FtpServer::start(const QString &rootDir, const QStringList &options)
{
    stop();
    m_port = 0;
    m_process = std::make_unique<QProcess>();
    // Its log goes to the test's own error output.
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(QString::fromLatin1(kPython),
                     QStringList{QStringLiteral(ZK_TEST_SOURCE_DIR "/support/ftp_server.py"),
                                 QDir(rootDir).absolutePath()} + options);
    if (!m_process->waitForStarted(5000)) {
        m_lastError = QStringLiteral("python3 did not start: ") + m_process->errorString();
        m_process.reset();
        return false;
    }
    // The script prints its port once it listens.
    QByteArray out;
    const QDeadlineTimer deadline(15000);
    while (!out.contains('\n') && !deadline.hasExpired()) {
        if (m_process->state() != QProcess::Running)
            break;
        m_process->waitForReadyRead(100);
        out += m_process->readAllStandardOutput();
    }
    bool ok = false;
    const int port = out.left(out.indexOf('\n')).trimmed().toInt(&ok);
    if (!ok || port <= 0 || port > 65535) {
        m_lastError = QStringLiteral("no port from the FTP server: ")
                      + QString::fromUtf8(out);
        stop();
        return false;
    }
    m_port = quint16(port);
    return true;
}

void FtpServer::stop()
{
    stopProcess(m_process.get());
    m_process.reset();
}
