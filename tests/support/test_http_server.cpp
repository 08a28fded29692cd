#include "support/test_http_server.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

QByteArray headerValueOf(const QByteArray &raw, const QByteArray &name, bool *found)
{
    *found = false;
    const QList<QByteArray> lines = raw.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        if (line.left(colon).trimmed().toLower() == name.toLower()) {
            *found = true;
            return line.mid(colon + 1).trimmed();
        }
    }
    return QByteArray();
}

} // namespace

QByteArray TestRequest::header(const QByteArray &name) const
{
    bool found = false;
    return headerValueOf(raw, name, &found);
}

bool TestRequest::hasHeader(const QByteArray &name) const
{
    bool found = false;
    headerValueOf(raw, name, &found);
    return found;
}

// ---------------------------------------------------------------------------

TestConnection::TestConnection(QTcpSocket *socket, int index, QObject *parent)
    : QObject(parent), m_socket(socket), m_index(index)
{
    socket->setParent(this);
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this]() {
        m_waiting = false;
        runSteps();
    });
    connect(socket, &QTcpSocket::readyRead, this, &TestConnection::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &TestConnection::disconnected);
}

TestConnection::~TestConnection()
{
    if (m_socket)
        m_socket->abort();
}

bool TestConnection::isOpen() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void TestConnection::onReadyRead()
{
    m_inbox += m_socket->readAll();
    for (;;) {
        const int end = m_inbox.indexOf("\r\n\r\n");
        if (end < 0)
            break;
        const QByteArray raw = m_inbox.left(end + 4);
        m_inbox.remove(0, end + 4);
        emit requestHeader(raw);
        if (!m_socket)
            break;
    }
}

TestConnection &TestConnection::send(const QByteArray &bytes)
{
    m_steps.append(Step{Step::Send, bytes, 0, {}});
    runSteps();
    return *this;
}

TestConnection &TestConnection::sendChunked(const QByteArray &bytes, int chunkSize, int delayMs)
{
    const int size = qMax(1, chunkSize);
    for (qsizetype at = 0; at < bytes.size(); at += size) {
        if (at > 0)
            m_steps.append(Step{Step::Pause, {}, delayMs, {}});
        m_steps.append(Step{Step::Send, bytes.mid(at, size), 0, {}});
    }
    runSteps();
    return *this;
}

TestConnection &TestConnection::pause(int ms)
{
    m_steps.append(Step{Step::Pause, {}, ms, {}});
    runSteps();
    return *this;
}

TestConnection &TestConnection::close()
{
    m_steps.append(Step{Step::Close, {}, 0, {}});
    runSteps();
    return *this;
}

TestConnection &TestConnection::then(std::function<void()> fn)
{
    m_steps.append(Step{Step::Call, {}, 0, std::move(fn)});
    runSteps();
    return *this;
}

void TestConnection::abort()
{
    m_steps.clear();
    m_timer->stop();
    m_waiting = false;
    if (m_socket)
        m_socket->abort();
}

void TestConnection::runSteps()
{
    while (!m_waiting && !m_steps.isEmpty()) {
        Step step = m_steps.takeFirst();
        switch (step.kind) {
        case Step::Send:
            if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState) {
                m_socket->write(step.bytes);
                m_socket->flush();
            }
            break;
        case Step::Pause:
            m_waiting = true;
            m_timer->start(step.ms);
            break;
        case Step::Close:
            if (m_socket)
                m_socket->disconnectFromHost();
            break;
        case Step::Call:
            if (step.fn)
                step.fn();
            break;
        }
    }
}

// ---------------------------------------------------------------------------

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer()
{
    stop();
}

bool TestHttpServer::start()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

void TestHttpServer::stop()
{
    m_server.close();
    for (const QPointer<TestConnection> &c : std::as_const(m_connections)) {
        if (c)
            delete c.data();
    }
    m_connections.clear();
}

quint16 TestHttpServer::port() const
{
    return m_server.serverPort();
}

QString TestHttpServer::hostPort() const
{
    return QStringLiteral("127.0.0.1:") + QString::number(port());
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("http://") + hostPort();
}

void TestHttpServer::clearRecords()
{
    m_requests.clear();
    m_served.clear();
    m_connectionCount = 0;
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        auto *conn = new TestConnection(socket, m_connectionCount++, this);
        m_connections.append(conn);
        connect(conn, &TestConnection::requestHeader, this, [this, conn](const QByteArray &raw) {
            TestRequest req;
            req.raw = raw;
            const QByteArray line = raw.left(raw.indexOf("\r\n"));
            const QList<QByteArray> parts = line.split(' ');
            req.method = parts.value(0);
            req.target = parts.value(1);
            req.connection = conn->index();
            int onConnection = 0;
            for (const TestRequest &r : std::as_const(m_requests)) {
                if (r.connection == conn->index())
                    ++onConnection;
            }
            req.indexOnConnection = onConnection;
            m_requests.append(req);
            emit requestReceived(req);
            if (m_handler)
                m_handler(req, conn);
        });
        if (m_connectHandler)
            m_connectHandler(conn);
    }
}

QByteArray TestHttpServer::head(int status, const QByteArray &reason, const QList<QByteArray> &headers)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    for (const QByteArray &h : headers)
        out += h + "\r\n";
    out += "\r\n";
    return out;
}

QByteArray TestHttpServer::response(int status, const QByteArray &reason,
                                    QList<QByteArray> headers, const QByteArray &body)
{
    headers.append("Content-Length: " + QByteArray::number(body.size()));
    return head(status, reason, headers) + body;
}

namespace {

// "bytes=a-b" or "bytes=a-" against a file of size bytes. Returns false when
// there is no usable Range header (the whole file is served then).
bool parseRange(const QByteArray &value, qint64 size, qint64 *first, qint64 *last)
{
    QByteArray v = value.trimmed();
    if (!v.toLower().startsWith("bytes="))
        return false;
    v = v.mid(6);
    const int dash = v.indexOf('-');
    if (dash <= 0 || v.contains(','))
        return false;
    bool ok = false;
    *first = v.left(dash).toLongLong(&ok);
    if (!ok || *first < 0)
        return false;
    const QByteArray end = v.mid(dash + 1).trimmed();
    if (end.isEmpty()) {
        *last = size - 1;
    } else {
        *last = end.toLongLong(&ok);
        if (!ok || *last < *first)
            return false;
    }
    return true;
}

} // namespace

void TestHttpServer::serveFile(const QByteArray &data, const Faults &faults)
{
    setHandler([this, data, faults](const TestRequest &req, TestConnection *conn) {
        const int number = int(m_requests.size()) - 1;
        const qint64 size = data.size();
        Served served;
        served.request = number;

        auto sendHead = [&](const QByteArray &head) {
            if (faults.headPiece > 0)
                conn->sendChunked(head, faults.headPiece, faults.pieceDelayMs);
            else
                conn->send(head);
        };
        auto finish = [&]() {
            if (faults.connectionClose || faults.closeIdle)
                conn->close();
        };
        QList<QByteArray> common{"Content-Type: application/octet-stream", "Accept-Ranges: bytes"};
        if (faults.connectionClose)
            common.append("Connection: close");

        qint64 first = 0;
        qint64 last = size - 1;
        const bool ranged = !faults.ignoreRange && req.hasHeader("Range")
            && parseRange(req.header("Range"), size, &first, &last);
        QList<QByteArray> headers = common;
        if (ranged) {
            if (first >= size) {
                served.status = 416;
                m_served.append(served);
                headers.append("Content-Range: bytes */" + QByteArray::number(size));
                headers.append("Content-Length: 0");
                sendHead(head(416, "Range Not Satisfiable", headers));
                finish();
                return;
            }
            if (faults.maxRangeLength > 0)
                last = std::min(last, first + faults.maxRangeLength - 1);
            served.status = 206;
            headers.append("Content-Range: bytes " + QByteArray::number(first) + '-'
                           + QByteArray::number(last) + '/' + QByteArray::number(size));
        } else {
            first = 0;
            last = size - 1;
            served.status = 200;
        }
        const QByteArray body = data.mid(first, last - first + 1);
        headers.append("Content-Length: " + QByteArray::number(body.size()));
        sendHead(head(served.status, served.status == 206 ? "Partial Content" : "OK", headers));

        qint64 sent = body.size();
        bool drop = false;
        bool stall = false;
        if (faults.dropAfter.contains(number)) {
            sent = std::min(sent, faults.dropAfter.value(number));
            drop = true;
        } else if (faults.stallAfter.contains(number)) {
            sent = std::min(sent, faults.stallAfter.value(number));
            stall = true;
        }
        served.first = sent > 0 ? first : -1;
        served.length = sent;
        m_served.append(served);

        const QByteArray out = body.left(sent);
        if (faults.bodyPiece > 0)
            conn->sendChunked(out, faults.bodyPiece, faults.pieceDelayMs);
        else if (!out.isEmpty())
            conn->send(out);
        if (drop)
            conn->close();
        else if (!stall)
            finish();
    });
}
