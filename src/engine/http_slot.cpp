#include "engine/http_slot.h"

#include "core/winsock.h"
#include "display/formatters.h"
#include "engine/http_parse.h"
#include "engine/pack_file.h"
#include "engine/pack_plan.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <climits>

namespace {
// A response header larger than this is not one we can use.
constexpr int kMaxHeaderBytes = 64 * 1024;
constexpr quint16 kHttpPort = 80;
} // namespace

struct HttpSlot::Private
{
    // Where the connection stands.
    enum class Phase {
        Closed,      // no connection
        Connecting,  // Connect called, Connected not yet seen
        Awaiting,    // request sent, response header not complete yet
        Body,        // header accepted, body bytes arriving
        Idle         // kept open between two requests
    };

    QPointer<Winsock> socket;
    QString host;
    QString path;
    PackPlan *plan = nullptr;
    std::function<QString(qint64)> packPath;

    PackFile file;
    qint64 filePack = -1;        // pack the open file belongs to

    QTimer *stallTimer = nullptr;
    QTimer *retryTimer = nullptr;
    int retryDelay = HttpSlot::DefaultRetryDelay;

    Phase phase = Phase::Closed;
    int requestsOnConnection = 0;
    QByteArray head;             // response header gathered so far
    QByteArray readBuffer;       // what the socket brings is read through this
    qint64 requestFirst = -1;    // byte range of the last request
    qint64 requestLast = -1;
    qint64 streamOffset = 0;     // file offset of the next body byte of the response
    qint64 bodyLeft = 0;         // body bytes of the response not received yet
    bool closeAfter = false;     // the server ends the connection after this response
    qint64 responseStored = 0;   // bytes of this response written into pack files
    bool responseStarted = false;
    qint64 announcedPack = -1;   // pack whose "Downloading" status this response wrote

    // Bumped whenever the connection is opened or closed: a handler that emitted
    // a signal compares it to learn whether the manager stopped the slot meanwhile.
    quint64 epoch = 0;
    // Bumped by every setPack/setIdle/stop: a queued completion of an older pack
    // does nothing.
    quint64 packToken = 0;
    // Inside handleBytes: pack changes made by the manager from the signals are
    // acted upon when the chunk is done, not re-entrantly.
    bool processing = false;
    // No connection is opened on the slot's own initiative (stopped, gave up,
    // connection error) until the manager gives a pack again.
    bool halted = false;
};

HttpSlot::HttpSlot(int number, Winsock *socket, QObject *parent)
    : QObject(parent), d(new Private), m_number(number), m_socket(socket)
{
    d->socket = socket;

    d->stallTimer = new QTimer(this);
    d->stallTimer->setSingleShot(true);
    d->stallTimer->setInterval(DefaultStallTimeout);
    connect(d->stallTimer, &QTimer::timeout, this, &HttpSlot::onStallTimeout);

    d->retryTimer = new QTimer(this);
    d->retryTimer->setSingleShot(true);
    connect(d->retryTimer, &QTimer::timeout, this, &HttpSlot::onRetryTimeout);

    if (socket) {
        connect(socket, &Winsock::Connected, this, &HttpSlot::onConnected);
        connect(socket, &Winsock::DataArrival, this, &HttpSlot::onDataArrival);
        connect(socket, &Winsock::Closed, this, &HttpSlot::onClosed);
        connect(socket, &Winsock::Error, this, &HttpSlot::onError);
    }
}

HttpSlot::~HttpSlot()
{
    if (d->socket) {
        disconnect(d->socket, nullptr, this, nullptr);
        Ferme_Connect(*d->socket);
    }
    delete d;
}

void HttpSlot::setTarget(const QString &host, const QString &path)
{
    d->host = host;
    d->path = path;
}

void HttpSlot::setPlan(PackPlan *plan)
{
    d->plan = plan;
}

void HttpSlot::setPackFilePath(std::function<QString(qint64)> path)
{
    d->packPath = std::move(path);
}

void HttpSlot::setStallTimeout(int ms)
{
    d->stallTimer->setInterval(std::max(1, ms));
}

void HttpSlot::setRetryDelay(int ms)
{
    d->retryDelay = std::max(0, ms);
}

int HttpSlot::stallTimeout() const
{
    return d->stallTimer->interval();
}

bool HttpSlot::wantsBytes() const
{
    return Paquet_Taille > 0 && Paquet_Recu - 1 < Paquet_Taille;
}

qint64 HttpSlot::firstMissingByte() const
{
    return Paquet_Debut + Paquet_Recu - 1;
}

// ---------------------------------------------------------------------------
// What the manager asks for

void HttpSlot::setPack(qint64 number, qint64 start, qint64 size, qint64 stored)
{
    if (size <= 0) {
        setIdle();
        return;
    }
    if (d->filePack != number)
        d->file.close();
    Paquet_Numero = number;
    Paquet_Debut = start;
    Paquet_Taille = size;
    Paquet_Recu = std::clamp<qint64>(stored, 0, size) + 1;
    ++d->packToken;
    d->halted = false;

    if (!wantsBytes()) {
        // A pack of a resumed project that is already whole: recorded without a
        // request, from the event loop so that the manager is not re-entered
        // inside its own call.
        const quint64 token = d->packToken;
        QMetaObject::invokeMethod(this, [this, token]() {
            if (token != d->packToken || Paquet_Taille <= 0 || wantsBytes())
                return;
            completePack();
            reconsider();
        }, Qt::QueuedConnection);
    }
    reconsider();
}

void HttpSlot::setIdle()
{
    Paquet_Taille = 0;
    Paquet_Recu = 0;
    d->file.close();
    d->filePack = -1;
    d->retryTimer->stop();
    ++d->packToken;
    reconsider();
}

void HttpSlot::runShortened()
{
    // The bytes past the new end are refused pack by pack as they come (the
    // pack after the current run is another slot's); all there is to do now is
    // to look again at the connection.
    reconsider();
}

void HttpSlot::stop()
{
    closeConnection();
    d->file.close();
    d->filePack = -1;
    d->retryTimer->stop();
    ++d->packToken;
    d->halted = true;
}

void HttpSlot::resetFailures()
{
    m_failures = 0;
}

// ---------------------------------------------------------------------------
// Connection control

void HttpSlot::reconsider()
{
    if (d->processing)
        return;
    using Phase = Private::Phase;
    const bool want = wantsBytes();
    const qint64 needed = want ? firstMissingByte() : -1;
    switch (d->phase) {
    case Phase::Body:
        // The response goes on with the byte wanted next: keep reading it.
        if (want && needed == d->streamOffset && d->bodyLeft > 0)
            return;
        closeConnection();
        break;
    case Phase::Awaiting:
        if (want && needed == d->requestFirst)
            return;
        closeConnection();
        break;
    case Phase::Connecting:
        if (want)
            return;  // the request is built from the pack in progress once connected
        closeConnection();
        break;
    case Phase::Idle:
        if (!d->socket || d->socket->State() != Winsock::sckConnected) {
            closeConnection();
            break;
        }
        // Kept open for a later run when there is nothing to ask now.
        if (want && !d->halted)
            sendRequest();
        return;
    case Phase::Closed:
        break;
    }
    if (want && !d->halted && !d->retryTimer->isActive())
        openConnection();
}

void HttpSlot::openConnection()
{
    if (!d->socket)
        return;
    closeConnection();
    ++m_connections;
    ++d->epoch;
    d->phase = Private::Phase::Connecting;
    d->requestsOnConnection = 0;
    d->socket->Connect(d->host, kHttpPort);
    d->stallTimer->start();
}

void HttpSlot::closeConnection()
{
    ++d->epoch;
    if (d->socket)
        Ferme_Connect(*d->socket);
    d->phase = Private::Phase::Closed;
    d->stallTimer->stop();
    d->head.clear();
    d->bodyLeft = 0;
}

void HttpSlot::sendRequest()
{
    const qint64 first = firstMissingByte();
    // The whole run in one request; a pack given outside the plan's run (or a
    // plan that no longer knows the slot) is at least asked for whole.
    const qint64 packLast = Paquet_Debut + Paquet_Taille - 1;
    const qint64 runLast = d->plan ? d->plan->runLastByte(m_number) : -1;
    const qint64 last = std::max(runLast, packLast);

    QByteArray request;
    request += "GET " + d->path.toUtf8() + " HTTP/1.1\r\n";
    request += "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n";
    request += "Accept-Language: fr\r\n";
    request += "User-Agent: Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)\r\n";
    request += "Range: bytes=" + QByteArray::number(first) + '-' + QByteArray::number(last) + "\r\n";
    request += "Host: " + d->host.toUtf8() + "\r\n";
    request += "Connection: Keep-Alive\r\n";
    request += "\r\n";

    Entete_Lu = false;
    emit statusChanged(m_number, QStringLiteral("Sending request..."));
    Txt_Sended = request;
    d->requestFirst = first;
    d->requestLast = last;
    d->head.clear();
    d->bodyLeft = 0;
    d->responseStored = 0;
    d->responseStarted = false;
    d->announcedPack = -1;
    d->phase = Private::Phase::Awaiting;
    ++d->requestsOnConnection;
    ++m_requests;
    d->socket->SendData(request);
    d->stallTimer->start();
}

void HttpSlot::failAttempt()
{
    closeConnection();
    d->retryTimer->stop();
    if (!wantsBytes())
        return;  // nothing was being fetched: no attempt to count
    ++m_failures;
    ++m_failuresTotal;
    if (m_failures >= MaxFailedAttempts) {
        d->halted = true;
        emit gaveUp(m_number);
        return;
    }
    // 1, 2, 4 ... times the retry delay.
    const qint64 delay = qint64(d->retryDelay) << std::min(m_failures - 1, 20);
    d->retryTimer->start(int(std::min<qint64>(delay, INT_MAX)));
}

// ---------------------------------------------------------------------------
// Socket and timer events

void HttpSlot::onConnected()
{
    if (d->phase != Private::Phase::Connecting)
        return;
    if (!wantsBytes()) {
        closeConnection();
        return;
    }
    sendRequest();
}

void HttpSlot::onDataArrival()
{
    // One buffer for the slot's life: the body is the hot path, and a fresh
    // array per chunk costs an allocation and page faults every time.
    static constexpr qint64 ReadSize = 256 * 1024;
    if (d->readBuffer.size() != ReadSize)
        d->readBuffer.resize(ReadSize);
    const quint64 epoch = d->epoch;
    while (d->socket && epoch == d->epoch) {
        const qint64 n = d->socket->GetData(d->readBuffer.data(), ReadSize);
        if (n <= 0)
            break;
        // handleBytes copies whatever it keeps, so the buffer can be reused.
        handleBytes(QByteArray::fromRawData(d->readBuffer.constData(), n));
    }
}

bool HttpSlot::takeLastBytes()
{
    const quint64 epoch = d->epoch;
    const QByteArray rest = d->socket->GetData();
    if (!rest.isEmpty())
        handleBytes(rest);
    return epoch == d->epoch;
}

void HttpSlot::onClosed()
{
    using Phase = Private::Phase;
    if (!d->socket || d->phase == Phase::Closed)
        return;
    // The peer's last bytes may come together with its close.
    if (!takeLastBytes())
        return;
    switch (d->phase) {
    case Phase::Closed:
        return;
    case Phase::Idle:
        // A kept-open connection the server ended between requests: no failure.
        closeConnection();
        reconsider();
        return;
    case Phase::Awaiting:
        if (d->requestsOnConnection > 1 && d->head.isEmpty()) {
            // The server ended the kept-open connection just as the request went
            // out: nothing was lost, a new connection asks again.
            closeConnection();
            reconsider();
            return;
        }
        failAttempt();
        return;
    case Phase::Connecting:
    case Phase::Body:
        failAttempt();
        return;
    }
}

void HttpSlot::onError(int number, const QString &description)
{
    using Phase = Private::Phase;
    if (!d->socket || d->phase == Phase::Closed)
        return;
    if (!takeLastBytes())
        return;
    if (d->phase == Phase::Idle
        || (d->phase == Phase::Awaiting && d->requestsOnConnection > 1 && d->head.isEmpty()
            && number == Winsock::sckConnectAborted)) {
        // The kept-open connection died between requests: open a new one.
        closeConnection();
        reconsider();
        return;
    }
    if (number == Winsock::sckHostNotFound || number == Winsock::sckConnectAborted) {
        closeConnection();
        d->retryTimer->stop();
        d->halted = true;
        emit connectionError(m_number, number, description);
        return;
    }
    failAttempt();
}

void HttpSlot::onStallTimeout()
{
    using Phase = Private::Phase;
    if (d->phase == Phase::Connecting || d->phase == Phase::Awaiting || d->phase == Phase::Body)
        failAttempt();
}

void HttpSlot::onRetryTimeout()
{
    if (d->phase == Private::Phase::Closed && wantsBytes() && !d->halted)
        openConnection();
}

// ---------------------------------------------------------------------------
// Response handling

void HttpSlot::handleBytes(const QByteArray &data)
{
    using Phase = Private::Phase;
    if (data.isEmpty())
        return;
    if (d->phase != Phase::Awaiting && d->phase != Phase::Body) {
        // Bytes nobody asked for: this connection is out of step.
        if (d->phase == Phase::Idle) {
            closeConnection();
            reconsider();
        }
        return;
    }
    d->stallTimer->start();

    const quint64 epoch = d->epoch;
    d->processing = true;
    const char *p = data.constData();
    qint64 n = data.size();
    QByteArray afterHeader;

    if (d->phase == Phase::Awaiting) {
        d->head.append(p, n);
        n = 0;
        const int end = HttpParse::headerEnd(d->head);
        if (end < 0) {
            if (d->head.size() > kMaxHeaderBytes)
                failAttempt();
        } else {
            afterHeader = d->head.mid(end + 4);
            const QByteArray header = d->head.left(end);
            d->head.clear();
            if (acceptHeader(header)) {
                p = afterHeader.constData();
                n = afterHeader.size();
            } else {
                failAttempt();
            }
        }
    }

    if (d->phase == Phase::Body && d->epoch == epoch) {
        const qint64 take = std::min(n, d->bodyLeft);
        const qint64 stored = take > 0 ? storeBody(p, take) : 0;
        if (stored >= 0 && d->epoch == epoch) {
            d->bodyLeft -= take;
            p += take;
            n -= take;
            if (d->bodyLeft == 0) {
                responseEnded();
                // Bytes past the length the server announced: out of step.
                if (n > 0 && d->epoch == epoch)
                    closeConnection();
            } else if (stored < take) {
                // The rest of this response is not wanted (the run ended or was
                // cut short): stop reading it rather than take in a surplus.
                closeConnection();
            }
        }
    }

    d->processing = false;
    reconsider();
}

bool HttpSlot::acceptHeader(const QByteArray &header)
{
    Txt_Recu = header;
    bool ok = false;
    const qint64 length = HttpParse::contentLength(header, &ok);
    // Without a length the end of the body is unknown.
    if (!ok)
        return false;
    const QByteArray coding = HttpParse::headerValue(header, "Transfer-Encoding").toLower();
    if (!coding.isEmpty() && coding != "identity")
        return false;

    // A reply of another size is another file.
    const qint64 fileSize = d->plan ? d->plan->fileSize() : 0;
    const int status = HttpParse::statusCode(header);
    if (status == 206) {
        HttpParse::ContentRange range;
        if (!HttpParse::contentRange(header, &range) || range.first != d->requestFirst)
            return false;
        if (length != range.last - range.first + 1)
            return false;
        if (fileSize > 0 && range.total >= 0 && range.total != fileSize)
            return false;
    } else if (status == 200 && d->requestFirst == 0) {
        // The whole file from byte 0: the start is right, the surplus is cut off.
        if (fileSize > 0 && length != fileSize)
            return false;
    } else {
        return false;
    }

    const QByteArray connection = HttpParse::headerValue(header, "Connection").toLower();
    const bool http10 = HttpParse::firstLine(header).toUpper().startsWith("HTTP/1.0");
    d->closeAfter = connection.contains("close") || (http10 && !connection.contains("keep-alive"));
    Entete_Lu = true;
    d->phase = Private::Phase::Body;
    d->bodyLeft = length;
    d->streamOffset = d->requestFirst;
    d->responseStored = 0;
    d->responseStarted = false;
    d->announcedPack = -1;
    return true;
}

qint64 HttpSlot::storeBody(const char *data, qint64 size)
{
    const quint64 epoch = d->epoch;
    qint64 done = 0;
    while (done < size && wantsBytes() && firstMissingByte() == d->streamOffset) {
        const qint64 stored = Paquet_Recu - 1;
        const qint64 piece = std::min(size - done, Paquet_Taille - stored);

        if (d->announcedPack != Paquet_Numero) {
            d->announcedPack = Paquet_Numero;
            emit statusChanged(m_number, QStringLiteral("Downloading (") + Format_Taille(Paquet_Taille)
                                             + QStringLiteral(")..."));
            if (d->epoch != epoch)
                return -1;
        }
        if (!d->responseStarted) {
            d->responseStarted = true;
            emit dataStarted(m_number);
            if (d->epoch != epoch)
                return -1;
        }

        if (!d->file.isOpen() || d->filePack != Paquet_Numero || d->file.position() != stored) {
            d->filePack = Paquet_Numero;
            const QString path = d->packPath ? d->packPath(Paquet_Numero) : QString();
            if (!d->file.open(path, stored)) {
                failAttempt();
                return -1;
            }
        }
        if (!d->file.write(data + done, piece)) {
            d->file.close();
            failAttempt();
            return -1;
        }
        done += piece;
        d->streamOffset += piece;
        Paquet_Recu += piece;
        d->responseStored += piece;
        m_failures = 0;

        emit bytesStored(m_number, piece);
        if (d->epoch != epoch)
            return -1;
        if (Paquet_Recu - 1 >= Paquet_Taille) {
            completePack();
            if (d->epoch != epoch)
                return -1;
        }
    }
    return done;
}

void HttpSlot::responseEnded()
{
    const bool broughtNothing = d->responseStored == 0;
    if (d->closeAfter || !d->socket || d->socket->State() != Winsock::sckConnected) {
        closeConnection();
    } else {
        d->phase = Private::Phase::Idle;
        d->stallTimer->stop();
    }
    // A reply that ended without one byte of what is still wanted would only
    // be asked again and again.
    if (broughtNothing && wantsBytes())
        failAttempt();
}

void HttpSlot::completePack()
{
    d->file.close();
    d->filePack = -1;
    const qint64 pack = Paquet_Numero;
    const qint64 size = Paquet_Taille;
    const QString path = d->packPath ? d->packPath(pack) : QString();
    emit packCompleted(m_number, pack, size, path);
}
