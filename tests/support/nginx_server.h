#pragma once
#include <QByteArray>
#include <QList>
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
    // One line of the access log, written when nginx finishes a request
    // (complete, or cut short by the client).
    struct LogRecord {
        qint64 startMs = 0;       // when nginx read the request, ms since the epoch (nginx's clock)
        int status = 0;
        qint64 bodyBytesSent = 0; // body bytes nginx handed to the connection
        QByteArray request;       // the request line, "GET /f.bin HTTP/1.1"
    };

    NginxServer();
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    // Body bytes per second and request (nginx's limit_rate, which lets a
    // request send about a second's worth at once); 0 = unlimited. Applies
    // from the next start().
    void setRateLimit(qint64 bytesPerSecond) { m_rateLimit = bytesPerSecond; }

    bool start(const QString &rootDir, const QString &extraServerConfig = {});
    void stop();
    bool isRunning() const;

    quint16 port() const { return m_port; }
    QString hostPort() const;     // "127.0.0.1:port"
    QString baseUrl() const;      // "http://127.0.0.1:port"

    QString prefixDir() const;
    QString accessLogPath() const;
    QString errorLogPath() const;
    // The access log's records in the order nginx wrote them.
    QList<LogRecord> accessLog() const;
    // Why start() failed: nginx's own output and error log.
    QString lastError() const { return m_lastError; }

private:
    bool startOnce(const QString &rootDir, const QString &extraServerConfig);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    qint64 m_rateLimit = 0;
    QString m_lastError;
};
