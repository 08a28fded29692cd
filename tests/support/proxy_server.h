#pragma once
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// A real HTTP proxy for end-to-end tests: tinyproxy in the foreground on
// 127.0.0.1 and a free port, its configuration and log in a temporary folder.
// It forwards plain requests and opens CONNECT tunnels to any port, or only to
// tunnelPort when one is named (403 for the others); with a login it answers
// 407 to requests without it. stop() or the destructor ends
// the process through its own process object.
class ProxyServer
{
public:
    ProxyServer() = default;
    ~ProxyServer() { stop(); }
    ProxyServer(const ProxyServer &) = delete;
    ProxyServer &operator=(const ProxyServer &) = delete;

    // user empty: anybody on loopback may use it.
    bool start(const QString &user = {}, const QString &password = {}, quint16 tunnelPort = 0);
    void stop();

    quint16 port() const { return m_port; }
    // "http://127.0.0.1:port"
    QString address() const { return QStringLiteral("http://127.0.0.1:") + QString::number(m_port); }
    // The request lines tinyproxy logged ("GET http://h/p HTTP/1.1", "CONNECT h:p HTTP/1.1").
    QList<QByteArray> requests() const;
    // How many connections it opened to 127.0.0.1:port for its clients (one per
    // tunnel; none for a request it refused).
    int upstreamConnections(quint16 port) const;
    QString lastError() const { return m_lastError; }

private:
    QList<QByteArray> logLines() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    QString m_lastError;
};
