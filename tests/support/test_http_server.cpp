#include "support/test_http_server.h"

#include <QCryptographicHash>
#include <QRegularExpression>

#include <algorithm>
#include <memory>

QByteArray TestRequest::header(const QByteArray &name) const
{
    for (const QByteArray &line : raw.split('\n').mid(1)) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

TestConnection::TestConnection(QTcpSocket *socket, QObject *parent)
    : QObject(parent), m_socket(socket)
{
    socket->setParent(this);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &TestConnection::runSteps);
    connect(socket, &QTcpSocket::disconnected, this, &TestConnection::disconnected);
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        m_inbox += m_socket->readAll();
        for (int end; m_socket && (end = m_inbox.indexOf("\r\n\r\n")) >= 0;) {
            const QByteArray raw = m_inbox.left(end + 4);
            m_inbox.remove(0, end + 4);
            if (onRequest)
                onRequest(raw);
        }
    });
}

TestConnection::~TestConnection()
{
    if (m_socket)
        m_socket->abort();
}

TestConnection &TestConnection::sendChunked(const QByteArray &bytes, int chunkSize, int delayMs)
{
    const int size = qMax(1, chunkSize);
    for (qsizetype at = 0; at < bytes.size(); at += size) {
        if (at > 0)
            pause(delayMs);
        send(bytes.mid(at, size));
    }
    return *this;
}

TestConnection &TestConnection::queue(const Step &step)
{
    m_steps.append(step);
    runSteps();
    return *this;
}

void TestConnection::runSteps()
{
    while (!m_timer.isActive() && !m_steps.isEmpty()) {
        const Step step = m_steps.takeFirst();
        if (step.ms >= 0)
            m_timer.start(step.ms);
        else if (!m_socket)
            continue;
        else if (step.close)
            m_socket->disconnectFromHost();
        else if (m_socket->state() == QAbstractSocket::ConnectedState && m_socket->write(step.bytes) >= 0)
            m_socket->flush();
    }
}

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            ++m_connectionCount;
            auto *conn = new TestConnection(socket, this);
            m_connections.append(conn);
            conn->onRequest = [this, conn](const QByteArray &raw) {
                const TestRequest req{raw, raw.left(raw.indexOf("\r\n")).split(' ').value(1)};
                m_requests.append(req);
                if (m_handler)
                    m_handler(req, conn);
            };
            if (m_connectHandler)
                m_connectHandler(conn);
        }
    });
}

void TestHttpServer::stop()
{
    m_server.close();
    for (const QPointer<TestConnection> &c : std::as_const(m_connections))
        delete c.data();
    m_connections.clear();
}

void TestHttpServer::clearRecords()
{
    m_requests.clear();
    m_served.clear();
    m_connectionCount = 0;
}

QByteArray TestHttpServer::head(int status, const QByteArray &reason, const QList<QByteArray> &headers)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    for (const QByteArray &h : headers)
        out += h + "\r\n";
    return out + "\r\n";
}

QByteArray TestHttpServer::response(int status, const QByteArray &reason, QList<QByteArray> headers,
                                    const QByteArray &body)
{
    headers.append("Content-Length: " + QByteArray::number(body.size()));
    return head(status, reason, headers) + body;
}

void TestHttpServer::serveFile(const QByteArray &data, const Faults &faults)
{
    setHandler([this, data, faults](const TestRequest &req, TestConnection *conn) {
        const auto open = std::count_if(m_connections.cbegin(), m_connections.cend(), [](const QPointer<TestConnection> &c) {
            return c && c->socket() && c->socket()->state() == QAbstractSocket::ConnectedState;
        });
        if (faults.connections > 0 && open > faults.connections)
            return void(conn->send(response(503, "Service Unavailable", {"Connection: close"}, "busy")).close());
        if (const int wait = faults.busy.value(int(m_requests.size()) - 1, -1); wait >= 0)
            return void(conn->send(response(503, "Service Unavailable", {"Retry-After: " + QByteArray::number(wait)}, "busy")));
        sendFile(req, conn, data, faults, {"Content-Type: application/octet-stream"});
    });
}

void TestHttpServer::serveSite(const QHash<QByteArray, Route> &routes)
{
    auto hits = std::make_shared<QHash<QByteArray, int>>();
    setHandler([this, routes, hits](const TestRequest &req, TestConnection *conn) {
        const QByteArray number = QByteArray::number(m_requests.size() - 1);
        const auto route = routes.contains(req.target) ? routes.constFind(req.target)
                                                       : routes.constFind(req.target.left(req.target.indexOf('?')));
        const QByteArray authorization = req.header("Authorization");
        const auto refuse = [conn](int status, const QByteArray &reason, const QList<QByteArray> &headers = {}) {
            conn->send(response(status, reason, QList<QByteArray>{"Content-Type: text/html"} + headers,
                                "<html><body>" + reason + "</body></html>"));
        };
        if (req.header("User-Agent").contains("MSIE"))
            return refuse(403, "Forbidden");
        if (route == routes.cend())
            return refuse(404, "Not Found");
        if (!route->login.isEmpty() && authorization != "Basic " + route->login.toBase64())
            return refuse(401, "Unauthorized", {"WWW-Authenticate: Basic realm=\"files\""});
        if (route->refuseAuthorization && !authorization.isEmpty())
            return refuse(400, "Only one authentication mechanism allowed");
        for (const QByteArray &name : route->refuses)
            if (!req.header(name).isEmpty())
                return refuse(400, "Bad Request");
        for (const QByteArray &line : route->needs) {
            const QByteArray name = line.left(line.indexOf(':'));
            const auto named = [&name](const QByteArray &l) { return l.toLower().startsWith(name.toLower() + ':'); };
            const QList<QByteArray> lines = req.raw.split('\n');
            if (req.header(name) != line.mid(name.size() + 1).trimmed() || std::count_if(lines.cbegin(), lines.cend(), named) != 1)
                return route->loginPage ? refuse(200, "OK") : refuse(403, "Forbidden");
        }
        const int hit = (*hits)[route.key()]++;
        if (hit < route->busyFirst)
            return refuse(503, "Service Unavailable", {"Retry-After: 1"});
        QList<QByteArray> headers;
        for (QByteArray h : route->headers)
            headers.append(h.replace("%n", number));
        if (route->status != 200) {
            static const QHash<int, QByteArray> reasons{{301, "Moved Permanently"}, {302, "Found"}, {303, "See Other"},
                {307, "Temporary Redirect"}, {308, "Permanent Redirect"}, {403, "Forbidden"}, {404, "Not Found"},
                {410, "Gone"}, {429, "Too Many Requests"}, {503, "Service Unavailable"}};
            if (!std::any_of(headers.cbegin(), headers.cend(), [](const QByteArray &h) { return h.startsWith("Content-Length:"); }))
                headers.append("Content-Length: " + QByteArray::number(route->body.size()));
            conn->send(head(route->status, reasons.value(route->status, "Other"), headers) + route->body);
            return;
        }
        if (route->contentType)
            headers.prepend("Content-Type: application/octet-stream");
        const QByteArray etag = '"' + QCryptographicHash::hash(route->file, QCryptographicHash::Md5).toHex().left(16) + '"';
        Faults faults = route->faults;
        if (hit - route->busyFirst < route->cutFirst)
            faults.dropAfter[int(m_requests.size()) - 1] = route->file.size() / 2;
        sendFile(req, conn, route->file, faults, headers, etag);
    });
}

void TestHttpServer::sendFile(const TestRequest &req, TestConnection *conn, const QByteArray &data, const Faults &faults,
                              QList<QByteArray> headers, const QByteArray &etag)
{
    const int number = int(m_requests.size()) - 1;
    const qint64 size = data.size();
    if (faults.body == Faults::Body::Chunked || faults.body == Faults::Body::Closed) {
        // Made as it is sent: no length, no ranges.
        QByteArray out = data.left(faults.dropAfter.value(number, size));
        m_served.append({number, out.size()});
        if (faults.body == Faults::Body::Chunked) {
            headers << "Transfer-Encoding: chunked";
            QByteArray chunks;
            for (qsizetype at = 0; at < out.size(); at += 7001)
                chunks += QByteArray::number(qMin<qsizetype>(7001, out.size() - at), 16) + ";x=1\r\n" + out.mid(at, 7001) + "\r\n";
            out = faults.dropAfter.contains(number) ? chunks : chunks + "0\r\nX-Trailer: 1\r\n\r\n";
        } else {
            headers << "Connection: close";
        }
        conn->send(head(200, "OK", headers));
        faults.bodyPiece > 0 ? conn->sendChunked(out, faults.bodyPiece, faults.pieceDelay) : conn->send(out);
        if (faults.body == Faults::Body::Closed || faults.dropAfter.contains(number))
            conn->close();
        return;
    }
    headers.append("Accept-Ranges: bytes");
    if (!etag.isEmpty())
        headers.append("ETag: " + etag);
    if (faults.connectionClose)
        headers.append("Connection: close");
    static const QRegularExpression rangeRe(QStringLiteral("^bytes=(\\d+)-(\\d*)$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto m = rangeRe.match(QString::fromLatin1(req.header("Range")));
    // A file with an entity tag: a Range under an If-Range that names another
    // version gets the whole file.
    const QByteArray ifRange = req.header("If-Range");
    const bool ranged = !faults.ignoreRange && m.hasMatch() && (etag.isEmpty() || ifRange.isEmpty() || ifRange == etag)
                        && (m.captured(2).isEmpty() || m.captured(2).toLongLong() >= m.captured(1).toLongLong());
    const qint64 first = ranged ? m.captured(1).toLongLong() : 0;
    qint64 last = ranged && !m.captured(2).isEmpty() ? std::min(m.captured(2).toLongLong(), size - 1) : size - 1;
    const int status = !ranged ? 200 : first >= size ? 416 : 206;
    if (status == 416) {
        headers << "Content-Range: bytes */" + QByteArray::number(size);
    } else if (status == 206) {
        if (faults.maxRangeLength > 0)
            last = std::min(last, first + faults.maxRangeLength - 1);
        headers << "Content-Range: bytes " + QByteArray::number(first) + '-' + QByteArray::number(last) + '/'
                       + QByteArray::number(size);
    }
    const QByteArray body = status == 416 ? QByteArray() : data.mid(first, last - first + 1);
    if (faults.body == Faults::Body::RangesUnsized)
        headers << "Connection: close";
    else
        headers << "Content-Length: " + QByteArray::number(body.size());
    const QByteArray reason = status == 200 ? "OK" : status == 206 ? "Partial Content" : "Range Not Satisfiable";
    const QByteArray h = head(status, reason, headers);
    faults.headPiece > 0 ? conn->sendChunked(h, faults.headPiece) : conn->send(h);

    const bool drop = faults.dropAfter.contains(number);
    const bool stall = !drop && faults.stallAfter.contains(number);
    const QByteArray out = body.left(drop ? faults.dropAfter.value(number)
                                     : stall ? faults.stallAfter.value(number) : body.size());
    m_served.append({number, out.size()});
    faults.bodyPiece > 0 ? conn->sendChunked(out, faults.bodyPiece, faults.pieceDelay) : conn->send(out);
    if (drop || (!stall && (faults.connectionClose || faults.closeIdle || faults.body == Faults::Body::RangesUnsized)))
        conn->close();
}
