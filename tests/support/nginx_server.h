#pragma once
#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// n free loopback ports for listeners the tests start, taken below the range
// the kernel gives to outgoing connections.
QList<quint16> freeListenPorts(int n);

// A real nginx for end-to-end tests: /usr/sbin/nginx in the foreground with its
// own configuration, pid file and logs in a temporary folder, serving rootDir
// on 127.0.0.1 and a free port, with byte ranges and keep-alive.
// extraServerConfig goes inside the server block (for instance
// "location = /r { return 302 /f.bin; }"; "@PORT@" and "@TLSPORT@" in it stand
// for the plain port and the first TLS port). stop() or the destructor ends the
// process through its own process object.
class NginxServer
{
public:
    // One line of the access log, written when nginx finishes a request
    // (complete, or cut short by the client).
    struct LogRecord {
        qint64 startMs = 0;       // when nginx read the request, ms since the epoch (nginx's clock)
        qint64 bodyBytesSent = 0; // body bytes nginx handed to the connection
        QByteArray request;       // the request line, "GET /f.bin HTTP/1.1"
        qint64 rangeFirst = -1;   // first byte of its Range header, -1 without one
        qint64 connection = 0;    // nginx's serial number of the connection
        bool tlsResumed = false;  // its TLS session was resumed
    };

    NginxServer() = default;
    ~NginxServer() { stop(); }
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    // Body bytes per second and request (nginx's limit_rate); 0 = unlimited.
    // Applies from the next start().
    void setRateLimit(qint64 bytesPerSecond) { m_rateLimit = bytesPerSecond; }

    // One more TLS listener with this certificate (PEM files); from the next
    // start() it serves the same root and configuration on tlsPort(index).
    void addTls(const QString &certFile, const QString &keyFile) { m_tls.append({certFile, keyFile}); }
    quint16 tlsPort(int index = 0) const { return m_tlsPorts.value(index); }

    bool start(const QString &rootDir, const QString &extraServerConfig = {});
    void stop();

    quint16 port() const { return m_port; }
    QString hostPort() const { return QStringLiteral("127.0.0.1:") + QString::number(m_port); }
    QString baseUrl() const { return QStringLiteral("http://") + hostPort(); }

    QString accessLogPath() const { return m_dir ? m_dir->path() + QStringLiteral("/access.log") : QString(); }
    // The access log's records in the order nginx wrote them.
    QList<LogRecord> accessLog() const;
    // Why start() failed: nginx's own output and error log.
    QString lastError() const { return m_lastError; }

private:
    bool startOnce(const QString &rootDir, const QString &extraServerConfig);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    QList<QPair<QString, QString>> m_tls;
    QList<quint16> m_tlsPorts;
    qint64 m_rateLimit = 0;
    QString m_lastError;
};
