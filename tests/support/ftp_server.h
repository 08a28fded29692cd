#pragma once
#include <QString>
#include <QStringList>

#include <memory>

class QProcess;

// A real FTP server for end-to-end tests: pyftpdlib run by the distribution's
// /usr/bin/python3 (tests/support/ftp_server.py), anonymous and read-only,
// serving rootDir on 127.0.0.1 and a free port. Active mode works. The process
// is stopped by stop() or the destructor, by its own process object.
class FtpServer
{
public:
    FtpServer();
    ~FtpServer();
    FtpServer(const FtpServer &) = delete;
    FtpServer &operator=(const FtpServer &) = delete;

    // options: the misbehaviours of ftp_server.py ("--refuse-rest", ...).
    bool start(const QString &rootDir, const QStringList &options = {});
    void stop();
    bool isRunning() const;

    quint16 port() const { return m_port; }
    QString hostPort() const;     // "127.0.0.1:port"
    QString baseUrl() const;      // "ftp://127.0.0.1:port"
    // Why start() failed.
    QString lastError() const { return m_lastError; }

private:
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    QString m_lastError;
};
