#include "paced_file_server.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <memory>

namespace {

// Unlimited bodies go out in pieces of this size, the next one as soon as
// the socket's own buffer holds less than one piece.
constexpr qint64 kPiece = 256 * 1024;
// A request header larger than this is refused.
constexpr qint64 kMaxHeader = 64 * 1024;
constexpr int kTickMs = 10;

QByteArray reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    }
    return "Error";
}

QByteArray statusLine(int status)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) + "\r\n"
           "Server: zk-pace-server\r\n";
}

QByteArray connectionLine(bool keepAlive)
{
    return keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
}

// A run of ASCII digits as a number, saturating instead of overflowing.
// False for an empty text or any other character.
bool parseDigits(const QByteArray &text, qint64 &out)
{
    if (text.isEmpty())
        return false;
    qint64 v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9')
            return false;
        const int d = ch - '0';
        if (v > (std::numeric_limits<qint64>::max() - d) / 10)
            v = std::numeric_limits<qint64>::max();
        else
            v = v * 10 + d;
    }
    out = v;
    return true;
}

} // namespace

// One accepted connection and the response it is sending, if any.
struct PacedFileServer::Connection
{
    QTcpSocket *socket = nullptr;
    QByteArray inbox;           // request bytes not yet handled
    qint64 bodyToSkip = 0;      // request body bytes still to drop
    bool dead = false;          // disconnected; deleted on the next event loop pass
    bool closing = false;       // last response sent, closing after the writes
    qint64 number = 0;          // connection number, for the log
    qint64 requests = 0;        // requests read on this connection

    // The response being written, for the log.
    QByteArray method;
    QByteArray target;
    int status = 0;

    // The response body in progress.
    bool busy = false;
    bool keepAlive = true;
    std::unique_ptr<QFile> file;
    qint64 remaining = 0;       // body bytes still to send
    qint64 responseStart = 0;   // clock when the response head was written
    qint64 sentInResponse = 0;  // body bytes of this response handed to the socket
};

PacedFileServer::PacedFileServer(QObject *parent)
    : QObject(parent)
{
    m_clock.start();
    m_timer = new QTimer(this);
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(kTickMs);
    connect(m_timer, &QTimer::timeout, this, &PacedFileServer::pace);
    connect(&m_server, &QTcpServer::newConnection, this, &PacedFileServer::onNewConnection);
}

PacedFileServer::~PacedFileServer()
{
    stop();
}

void PacedFileServer::setRootDir(const QString &dir)
{
    m_root = QDir(dir).absolutePath();
}

void PacedFileServer::setRate(qint64 bytesPerSecond)
{
    m_rate = std::max<qint64>(0, bytesPerSecond);
}

bool PacedFileServer::setLogFile(const QString &path)
{
    m_log.close();
    m_log.setFileName(path);
    // Unbuffered: a reader sees every line as soon as its response ends.
    return m_log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
}

qint64 PacedFileServer::now() const
{
    return m_clock.elapsed();
}

bool PacedFileServer::start(quint16 port)
{
    stop();
    m_connectionCount = 0;
    return m_server.listen(QHostAddress::LocalHost, port);
}

void PacedFileServer::stop()
{
    m_server.close();
    m_timer->stop();
    const QList<Connection *> all = m_connections;
    m_connections.clear();
    for (Connection *c : all) {
        c->socket->disconnect(this);
        c->socket->abort();
        delete c->socket;
        delete c;
    }
    purgeClosed();
}

quint16 PacedFileServer::port() const
{
    return m_server.serverPort();
}

QString PacedFileServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:") + QString::number(port());
}

qint64 PacedFileServer::allowedBytes(qint64 rate, qint64 elapsedMs)
{
    if (rate <= 0 || elapsedMs <= 0)
        return 0;
    // rate = 1000 q + r, so rate * ms / 1000 = q * ms + r * ms / 1000 with
    // nothing large multiplied.
    // Past the largest number the result saturates.
    constexpr qint64 kMax = std::numeric_limits<qint64>::max();
    const qint64 q = rate / 1000;
    const qint64 r = rate % 1000;
    const qint64 rest = r * (elapsedMs / 1000) + r * (elapsedMs % 1000) / 1000;   // at most elapsedMs
    if (q > 0 && (elapsedMs > kMax / q || q * elapsedMs > kMax - rest))
        return kMax;
    return q * elapsedMs + rest;
}

PacedFileServer::RangeRequest PacedFileServer::parseRange(const QByteArray &value, qint64 size)
{
    RangeRequest whole;
    const QByteArray v = value.trimmed();
    const int eq = v.indexOf('=');
    if (eq < 0 || v.left(eq).trimmed().toLower() != "bytes")
        return whole;
    const QByteArray rangeSet = v.mid(eq + 1);
    if (rangeSet.contains(',') || rangeSet.count('-') != 1)
        return whole;
    const int dash = rangeSet.indexOf('-');
    const QByteArray a = rangeSet.left(dash).trimmed();
    const QByteArray b = rangeSet.mid(dash + 1).trimmed();
    qint64 first = 0;
    qint64 last = 0;
    const bool hasFirst = parseDigits(a, first);
    const bool hasLast = parseDigits(b, last);
    if ((!a.isEmpty() && !hasFirst) || (!b.isEmpty() && !hasLast) || (!hasFirst && !hasLast))
        return whole;

    RangeRequest r;
    if (!hasFirst) {                          // "-n": the last n bytes
        if (last == 0 || size == 0) {
            r.kind = RangeRequest::Unsatisfiable;
            return r;
        }
        r.kind = RangeRequest::Part;
        r.first = std::max<qint64>(0, size - last);
        r.last = size - 1;
        return r;
    }
    if (hasLast && last < first)
        return whole;                         // not a valid range: ignored
    if (first >= size) {
        r.kind = RangeRequest::Unsatisfiable;
        return r;
    }
    r.kind = RangeRequest::Part;
    r.first = first;
    r.last = hasLast ? std::min(last, size - 1) : size - 1;
    return r;
}

void PacedFileServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        auto *c = new Connection;
        c->socket = socket;
        c->number = ++m_connectionCount;
        socket->setParent(nullptr);
        m_connections.append(c);
        connect(socket, &QTcpSocket::readyRead, this, [this, c] { onReadyRead(c); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, c] { onBytesWritten(c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, c] { onDisconnected(c); });
        if (socket->bytesAvailable() > 0)
            onReadyRead(c);
    }
}

void PacedFileServer::onReadyRead(Connection *c)
{
    if (c->dead)
        return;
    c->inbox += c->socket->readAll();
    handleRequests(c);
}

void PacedFileServer::onBytesWritten(Connection *c)
{
    if (!c->dead && c->busy && m_rate == 0)
        pump(c);
}

void PacedFileServer::onDisconnected(Connection *c)
{
    if (c->dead)
        return;
    if (c->busy)
        logResponse(c);     // cut short by the client
    c->dead = true;
    c->busy = false;
    c->file.reset();
    m_connections.removeOne(c);
    c->socket->disconnect(this);
    c->socket->deleteLater();
    // Deleted on the next event loop pass: a pacing pass or a write may be
    // holding the pointer right now.
    m_closed.append(c);
    QTimer::singleShot(0, this, &PacedFileServer::purgeClosed);
    updateTimer();
}

void PacedFileServer::purgeClosed()
{
    qDeleteAll(m_closed);
    m_closed.clear();
}

// Answers the complete requests waiting on a connection, one at a time: a
// request that arrives while a body is going out waits for its end.
void PacedFileServer::handleRequests(Connection *c)
{
    while (!c->dead && !c->busy && !c->closing) {
        if (c->bodyToSkip > 0) {
            const qint64 n = std::min<qint64>(c->bodyToSkip, c->inbox.size());
            c->inbox.remove(0, n);
            c->bodyToSkip -= n;
            if (c->bodyToSkip > 0)
                return;
        }
        const int end = c->inbox.indexOf("\r\n\r\n");
        if (end < 0 && c->inbox.size() <= kMaxHeader)
            return;
        ++c->requests;
        c->method = "-";
        c->target = "-";
        c->status = 0;
        c->sentInResponse = 0;
        if (end < 0) {
            sendSimple(c, 431, false);
            return;
        }
        const QByteArray head = c->inbox.left(end);
        c->inbox.remove(0, end + 4);
        respond(c, head);
    }
}

void PacedFileServer::respond(Connection *c, const QByteArray &head)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> parts = lines.value(0).trimmed().split(' ');
    c->method = parts.value(0, "-");
    c->target = parts.value(1, "-");
    if (parts.size() != 3 || (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0")) {
        sendSimple(c, 400, false);
        return;
    }
    const QByteArray &method = parts[0];
    const QByteArray &target = parts[1];
    QHash<QByteArray, QByteArray> headers;
    int rangeHeaders = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = lines[i].left(colon).trimmed().toLower();
        headers.insert(name, lines[i].mid(colon + 1).trimmed());
        if (name == "range")
            ++rangeHeaders;
    }

    bool keepAlive = parts[2] == "HTTP/1.1";
    for (const QByteArray &token : headers.value("connection").split(',')) {
        const QByteArray t = token.trimmed().toLower();
        if (t == "close")
            keepAlive = false;
        else if (t == "keep-alive")
            keepAlive = true;
    }
    if (headers.contains("transfer-encoding")) {
        sendSimple(c, 501, false);
        return;
    }
    if (headers.contains("content-length")) {
        qint64 length = 0;
        if (!parseDigits(headers.value("content-length"), length)) {
            sendSimple(c, 400, false);
            return;
        }
        c->bodyToSkip = length;
    }

    const bool isHead = method == "HEAD";
    if (method != "GET" && !isHead) {
        sendSimple(c, 405, keepAlive, "Allow: GET, HEAD\r\n");
        return;
    }
    const QString path = resolve(target);
    auto file = std::make_unique<QFile>(path);
    if (path.isEmpty() || !file->open(QIODevice::ReadOnly)) {
        sendSimple(c, 404, keepAlive, {}, !isHead);
        return;
    }

    const qint64 size = file->size();
    // Two Range headers are as good as none.
    const RangeRequest range = parseRange(rangeHeaders == 1 ? headers.value("range") : QByteArray(), size);
    QByteArray out;
    if (range.kind == RangeRequest::Unsatisfiable) {
        out = statusLine(416) + "Content-Range: bytes */" + QByteArray::number(size) + "\r\n"
              "Content-Length: 0\r\n" + connectionLine(keepAlive) + "\r\n";
        c->status = 416;
        c->socket->write(out);
        c->keepAlive = keepAlive;
        finishResponse(c);
        return;
    }
    qint64 first = 0;
    qint64 length = size;
    const bool partial = range.kind == RangeRequest::Part;
    if (partial) {
        first = range.first;
        length = range.last - range.first + 1;
    }
    out = statusLine(partial ? 206 : 200);
    out += "Content-Type: application/octet-stream\r\n"
           "Accept-Ranges: bytes\r\n";
    out += "Content-Length: " + QByteArray::number(length) + "\r\n";
    if (partial) {
        out += "Content-Range: bytes " + QByteArray::number(range.first) + '-'
               + QByteArray::number(range.last) + '/' + QByteArray::number(size) + "\r\n";
    }
    out += connectionLine(keepAlive) + "\r\n";
    c->status = partial ? 206 : 200;
    c->socket->write(out);

    c->keepAlive = keepAlive;
    if (isHead || length == 0 || !file->seek(first)) {
        finishResponse(c);
        return;
    }
    c->file = std::move(file);
    c->busy = true;
    c->remaining = length;
    c->responseStart = now();
    c->sentInResponse = 0;
    if (m_rate == 0)
        pump(c);
    else
        updateTimer();
}

void PacedFileServer::sendSimple(Connection *c, int status, bool keepAlive,
                                 const QByteArray &extraHeaders, bool withBody)
{
    const QByteArray body = "<html><body><h1>" + QByteArray::number(status) + ' ' + reason(status)
                            + "</h1></body></html>\n";
    QByteArray out = statusLine(status) + "Content-Type: text/html\r\n"
                     "Content-Length: " + QByteArray::number(body.size()) + "\r\n"
                     + extraHeaders + connectionLine(keepAlive) + "\r\n";
    if (withBody) {
        out += body;
        c->sentInResponse = body.size();
    }
    c->status = status;
    c->socket->write(out);
    c->keepAlive = keepAlive;
    finishResponse(c);
}

// Unlimited: keeps about one piece queued in the socket; bytesWritten brings
// the next.
void PacedFileServer::pump(Connection *c)
{
    while (c->busy && c->remaining > 0 && c->socket->bytesToWrite() < kPiece) {
        if (!sendPiece(c, kPiece))
            return;
    }
    if (c->busy && c->remaining == 0) {
        finishResponse(c);
        handleRequests(c);
    }
}

void PacedFileServer::pace()
{
    const qint64 t = now();
    // Room in the socket's buffer: enough for a tick or two at the rate, so
    // the buffer never grows when the client reads slower than that.
    const qint64 room = std::max<qint64>(64 * 1024, m_rate / 50);
    const QList<Connection *> all = m_connections;
    for (Connection *c : all) {
        if (c->dead || !c->busy)
            continue;
        qint64 allowance = allowedBytes(m_rate, t - c->responseStart) - c->sentInResponse;
        allowance = std::min(allowance, room - c->socket->bytesToWrite());
        while (allowance > 0 && c->busy && c->remaining > 0) {
            const qint64 before = c->sentInResponse;
            if (!sendPiece(c, allowance))
                break;
            allowance -= c->sentInResponse - before;
        }
        if (!c->dead && c->busy && c->remaining == 0) {
            finishResponse(c);
            handleRequests(c);
        }
    }
    updateTimer();
}

// Writes up to maxBytes of the body (at most one piece). False when the
// connection had to be dropped.
bool PacedFileServer::sendPiece(Connection *c, qint64 maxBytes)
{
    const qint64 n = std::min({maxBytes, c->remaining, kPiece});
    const QByteArray data = c->file->read(n);
    if (data.size() != n) {
        // The file shrank under us: the promised length cannot be kept, and
        // only dropping the connection tells the client so.
        c->socket->abort();
        return false;
    }
    c->socket->write(data);
    c->remaining -= n;
    c->sentInResponse += n;
    return true;
}

void PacedFileServer::finishResponse(Connection *c)
{
    logResponse(c);
    c->busy = false;
    c->file.reset();
    c->remaining = 0;
    if (!c->keepAlive && !c->closing) {
        c->closing = true;
        c->socket->disconnectFromHost();   // after the queued writes
    }
    updateTimer();
}

void PacedFileServer::logResponse(const Connection *c)
{
    if (!m_log.isOpen())
        return;
    m_log.write(QByteArray::number(c->number) + ' ' + QByteArray::number(c->requests) + ' ' + c->method
                + ' ' + c->target + ' ' + QByteArray::number(c->status) + ' '
                + QByteArray::number(c->sentInResponse) + '\n');
}

void PacedFileServer::updateTimer()
{
    bool anyPaced = false;
    if (m_rate > 0) {
        for (const Connection *c : std::as_const(m_connections))
            anyPaced = anyPaced || (!c->dead && c->busy);
    }
    if (anyPaced && !m_timer->isActive())
        m_timer->start();
    else if (!anyPaced && m_timer->isActive())
        m_timer->stop();
}

// The regular file under the root that a request target names, or an empty
// string when there is none (or the target points outside the root).
QString PacedFileServer::resolve(const QByteArray &target) const
{
    if (m_root.isEmpty())
        return {};
    QByteArray path = target;
    if (path.contains("://")) {
        const int slash = path.indexOf('/', path.indexOf("://") + 3);
        path = slash < 0 ? QByteArray("/") : path.mid(slash);
    }
    const int cut = path.indexOf('?');
    if (cut >= 0)
        path.truncate(cut);
    const QByteArray decoded = QByteArray::fromPercentEncoding(path);
    if (!decoded.startsWith('/') || decoded.endsWith('/') || decoded.contains('\0'))
        return {};
    const QString root = QFileInfo(m_root).canonicalFilePath();
    if (root.isEmpty())
        return {};
    const QString full = QDir::cleanPath(root + QString::fromUtf8(decoded));
    const QFileInfo info(full);
    const QString real = info.canonicalFilePath();
    if (real.isEmpty() || !real.startsWith(root + QLatin1Char('/')) || !QFileInfo(real).isFile())
        return {};
    return real;
}
