#include "support/nginx_server.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <unistd.h>

namespace {

const char *const kNginx = "/usr/sbin/nginx";

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

QString quoted(const QString &path)
{
    QString p = path;
    p.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    p.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + p + QLatin1Char('"');
}

QString readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

} // namespace

NginxServer::NginxServer() = default;

NginxServer::~NginxServer()
{
    stop();
}

QString NginxServer::hostPort() const
{
    return QStringLiteral("127.0.0.1:") + QString::number(m_port);
}

QString NginxServer::baseUrl() const
{
    return QStringLiteral("http://") + hostPort();
}

QString NginxServer::prefixDir() const
{
    return m_dir ? m_dir->path() : QString();
}

QString NginxServer::accessLogPath() const
{
    return prefixDir() + QStringLiteral("/access.log");
}

QString NginxServer::errorLogPath() const
{
    return prefixDir() + QStringLiteral("/error.log");
}

QList<NginxServer::LogRecord> NginxServer::accessLog() const
{
    // "s.mmm" as milliseconds.
    const auto ms = [](const QByteArray &t) { return qRound64(t.toDouble() * 1000); };
    QList<LogRecord> records;
    QFile f(accessLogPath());
    if (!f.open(QIODevice::ReadOnly))
        return records;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> w = line.split(' ');
        const int quote = line.indexOf('"');
        if (w.size() < 5 || quote < 0 || !line.endsWith('"'))
            continue;   // a line nginx is still writing
        LogRecord r;
        r.startMs = ms(w[0]) - ms(w[1]);
        r.status = w[2].toInt();
        r.bodyBytesSent = w[3].toLongLong();
        r.request = line.mid(quote + 1, line.size() - quote - 2);
        records.append(r);
    }
    return records;
}

bool NginxServer::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

bool NginxServer::start(const QString &rootDir, const QString &extraServerConfig)
{
    stop();
    // The free port is found by binding port 0 and letting it go; another
    // process may take it in between, so a failed bind is tried again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (startOnce(rootDir, extraServerConfig))
            return true;
        stop();
    }
    return false;
}

bool NginxServer::startOnce(const QString &rootDir, const QString &extraServerConfig)
{
    m_dir = std::make_unique<QTemporaryDir>();
    if (!m_dir->isValid()) {
        m_lastError = QStringLiteral("no temporary folder");
        return false;
    }
    m_port = freeLoopbackPort();
    if (m_port == 0) {
        m_lastError = QStringLiteral("no free port");
        return false;
    }
    const QString prefix = m_dir->path();
    QDir(prefix).mkpath(QStringLiteral("temp"));

    QString conf;
    conf += QStringLiteral("worker_processes 1;\n");
    // Run as root, workers would otherwise switch to "nobody" and could not read
    // the test's private folders. Not as root, the directive is not wanted.
    if (::geteuid() == 0)
        conf += QStringLiteral("user root;\n");
    conf += QStringLiteral("pid %1;\n").arg(quoted(prefix + QStringLiteral("/nginx.pid")));
    conf += QStringLiteral("error_log %1 info;\n").arg(quoted(errorLogPath()));
    conf += QStringLiteral("events { worker_connections 1024; }\n");
    conf += QStringLiteral("http {\n");
    // $msec - $request_time is when the request was read, in nginx's own
    // milliseconds; the request line goes last, as it may hold spaces.
    conf += QStringLiteral("    log_format zk '$msec $request_time $status $body_bytes_sent \"$request\"';\n");
    conf += QStringLiteral("    access_log %1 zk;\n").arg(quoted(accessLogPath()));
    for (const char *kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        conf += QStringLiteral("    %1_temp_path %2;\n")
                    .arg(QLatin1String(kind),
                         quoted(prefix + QStringLiteral("/temp/") + QLatin1String(kind)));
    }
    conf += QStringLiteral("    types { text/html html htm; text/plain txt; }\n");
    conf += QStringLiteral("    default_type application/octet-stream;\n");
    conf += QStringLiteral("    sendfile on;\n");
    conf += QStringLiteral("    keepalive_timeout 65;\n");
    conf += QStringLiteral("    keepalive_requests 100000;\n");
    if (m_rateLimit > 0)
        conf += QStringLiteral("    limit_rate %1;\n").arg(m_rateLimit);
    conf += QStringLiteral("    server {\n");
    conf += QStringLiteral("        listen 127.0.0.1:%1;\n").arg(m_port);
    conf += QStringLiteral("        server_name localhost;\n");
    conf += QStringLiteral("        root %1;\n").arg(quoted(QDir(rootDir).absolutePath()));
    if (!extraServerConfig.isEmpty())
        conf += QStringLiteral("        ") + extraServerConfig + QLatin1Char('\n');
    conf += QStringLiteral("    }\n");
    conf += QStringLiteral("}\n");

    const QString confPath = prefix + QStringLiteral("/nginx.conf");
    {
        QFile f(confPath);
        if (!f.open(QIODevice::WriteOnly) || f.write(conf.toUtf8()) < 0) {
            m_lastError = QStringLiteral("cannot write ") + confPath;
            return false;
        }
    }

    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(QString::fromLatin1(kNginx),
                     {QStringLiteral("-p"), prefix + QLatin1Char('/'),
                      QStringLiteral("-c"), confPath,
                      QStringLiteral("-e"), errorLogPath(),
                      QStringLiteral("-g"), QStringLiteral("daemon off;")});
    if (!m_process->waitForStarted(5000)) {
        m_lastError = QStringLiteral("nginx did not start: ") + m_process->errorString();
        return false;
    }

    // Ready when the port accepts a connection.
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (m_process->state() != QProcess::Running) {
            m_lastError = QString::fromUtf8(m_process->readAll()) + readFile(errorLogPath());
            return false;
        }
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, m_port);
        if (s.waitForConnected(200)) {
            s.abort();
            return true;
        }
        m_process->waitForFinished(50);
    }
    m_lastError = QStringLiteral("nginx did not listen on port ") + QString::number(m_port)
                  + QLatin1Char('\n') + readFile(errorLogPath());
    return false;
}

void NginxServer::stop()
{
    if (m_process) {
        if (m_process->state() != QProcess::NotRunning) {
            m_process->terminate();
            if (!m_process->waitForFinished(5000)) {
                m_process->kill();
                m_process->waitForFinished(5000);
            }
        }
        m_process.reset();
    }
}
