#pragma once
#include <QString>
#include <QTemporaryDir>

#include <memory>

class QProcess;

// A real nginx for end-to-end tests: /usr/sbin/nginx in the foreground with its
// own prefix, configuration, pid file and logs in a temporary folder, serving
// rootDir on 127.0.0.1 and a free port. Static files come with byte ranges and
// keep-alive; extraServerConfig goes inside the server block (for instance
// "location = /r { return 302 /f.bin; }"). The process is stopped by stop() or
// the destructor, by its own process object.
class NginxServer
{
public:
    NginxServer();
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    bool start(const QString &rootDir, const QString &extraServerConfig = {});
    void stop();
    bool isRunning() const;

    quint16 port() const { return m_port; }
    QString hostPort() const;     // "127.0.0.1:port"
    QString baseUrl() const;      // "http://127.0.0.1:port"

    QString prefixDir() const;
    QString accessLogPath() const;
    QString errorLogPath() const;
    // Why start() failed: nginx's own output and error log.
    QString lastError() const { return m_lastError; }

private:
    bool startOnce(const QString &rootDir, const QString &extraServerConfig);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    QString m_lastError;
};
