#include "support/nginx_server.h"
#include "support/stop_process.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>

#include <unistd.h>

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

// Next to a port from the outgoing range, a client socket (or its TIME_WAIT)
// would sooner or later hold one and keep the server from binding it.
QList<quint16> freeListenPorts(int n)
{
    int low = 32768;
    const QList<QByteArray> range = readFile(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range")).simplified().split(' ');
    if (range.value(0).toInt() > 1024 + 2 * n)
        low = range.value(0).toInt();
    const int first = qMax(1024, low - 20000);
    for (int attempt = 0; attempt < 50; ++attempt) {
        QList<quint16> ports;
        const int base = first + int(QRandomGenerator::global()->bounded(low - n - first));
        for (int i = 0; i < n; ++i) {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, quint16(base + i)))
                break;
            ports.append(quint16(base + i));
        }
        if (ports.size() == n)
            return ports;
    }
    return {};
}

QList<NginxServer::LogRecord> NginxServer::accessLog() const
{
    // "s.mmm" as milliseconds.
    const auto ms = [](const QByteArray &t) { return qRound64(t.toDouble() * 1000); };
    QList<LogRecord> records;
    for (const QByteArray &line : readFile(accessLogPath()).split('\n')) {
        const QList<QByteArray> w = line.split(' ');
        const int range = line.indexOf('"');
        const int request = line.indexOf("\" \"", range + 1);
        if (w.size() < 6 || range < 0 || request < 0 || !line.endsWith('"'))
            continue;   // a line nginx is still writing
        const QByteArray rangeText = line.mid(range + 1, request - range - 1);
        records.append({ms(w[0]) - ms(w[1]), w[3].toLongLong(), line.mid(request + 3, line.size() - request - 4),
                        rangeText.startsWith("bytes=") ? rangeText.mid(6).split('-').value(0).toLongLong() : -1,
                        w[4].toLongLong(), w[5] == "r."});
    }
    return records;
}

bool NginxServer::start(const QString &rootDir, const QString &extraServerConfig)
{
    // Free ports are found by binding them and letting them go; another
    // process may take one in between, so a failed start is tried again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        stop();
        if (startOnce(rootDir, extraServerConfig))
            return true;
    }
    stop();
    return false;
}

bool NginxServer::startOnce(const QString &rootDir, const QString &extraServerConfig)
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_port = 0;
    m_tlsPorts.clear();
    const QList<quint16> ports = freeListenPorts(1 + int(m_tls.size()));
    if (!m_dir->isValid() || ports.isEmpty()) {
        m_lastError = QStringLiteral("no temporary folder or no free port");
        return false;
    }
    m_port = ports.first();
    m_tlsPorts = ports.mid(1);
    QString extra = extraServerConfig;
    extra.replace("@PORT@", QString::number(m_port)).replace("@TLSPORT@", QString::number(m_tlsPorts.value(0)));
    QString servers;
    for (int i = 0; i < m_tls.size(); ++i)
        servers += QStringLiteral("server { listen 127.0.0.1:%1 ssl; ssl_certificate \"%2\"; ssl_certificate_key \"%3\"; "
                                  "root \"%4\"; %5 }\n").arg(QString::number(m_tlsPorts[i]), m_tls[i].first,
                                                              m_tls[i].second, QDir(rootDir).absolutePath(), extra);
    const QString prefix = m_dir->path();
    // As root, workers would switch to "nobody" and could not read the test's
    // private folders. $msec - $request_time is when the request was read, in
    // nginx's own milliseconds; the Range header and the request line go last,
    // as they may hold spaces.
    const QString conf = QStringLiteral(R"(worker_processes 1; %1 pid "%2/nginx.pid"; error_log "%2/error.log" info;
events { worker_connections 1024; }
http {
    log_format zk '$msec $request_time $status $body_bytes_sent $connection $ssl_session_reused. "$http_range" "$request"';
    access_log "%2/access.log" zk;
    client_body_temp_path "%2/temp/body"; proxy_temp_path "%2/temp/proxy"; fastcgi_temp_path "%2/temp/fcgi";
    uwsgi_temp_path "%2/temp/uwsgi"; scgi_temp_path "%2/temp/scgi";
    types { text/html html htm; text/plain txt; } default_type application/octet-stream;
    sendfile on; keepalive_timeout 65; keepalive_requests 100000; %3
    server { listen 127.0.0.1:%4; server_name localhost; root "%5"; %6 } %7
}
)")
        .arg(::geteuid() == 0 ? QStringLiteral("user root;") : QString(), prefix,
             m_rateLimit > 0 ? QStringLiteral("limit_rate %1;").arg(m_rateLimit) : QString(),
             QString::number(m_port), QDir(rootDir).absolutePath(), extra, servers);
    QFile f(prefix + QStringLiteral("/nginx.conf"));
    if (!QDir(prefix).mkpath(QStringLiteral("temp")) || !f.open(QIODevice::WriteOnly) || f.write(conf.toUtf8()) < 0) {
        m_lastError = QStringLiteral("cannot write ") + f.fileName();
        return false;
    }
    f.close();

    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(QStringLiteral("/usr/sbin/nginx"), {"-p", prefix + '/', "-c", f.fileName(), "-e",
                                                          prefix + "/error.log", "-g", "daemon off;"});
    if (!m_process->waitForStarted(5000)) {
        m_lastError = QStringLiteral("nginx did not start: ") + m_process->errorString();
        return false;
    }
    // Ready when every port accepts a connection: nginx binds them one after
    // the other, and one it cannot bind ends it a few seconds later.
    for (const QDeadlineTimer deadline(10000); !deadline.hasExpired(); m_process->waitForFinished(50)) {
        if (m_process->state() != QProcess::Running)
            break;
        const bool all = std::all_of(ports.begin(), ports.end(), [](quint16 port) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port);
            return s.waitForConnected(200);
        });
        if (all)
            return true;
    }
    m_lastError = QStringLiteral("nginx did not listen on port %1\n").arg(m_port)
                  + QString::fromUtf8(m_process->readAll() + readFile(prefix + "/error.log"));
    return false;
}

void NginxServer::stop()
{
    stopProcess(m_process.get());
    m_process.reset();
}
