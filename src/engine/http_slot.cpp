#include "engine/http_slot.h"

#include "core/settings.h"
#include "core/winsock.h"
#include "engine/http_parse.h"
#include "engine/pack_plan.h"
#include "engine/url_helpers.h"
#include "engine/warm_connections.h"
#include "projects/server_info.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {
// A response header larger than this is not one we can use.
constexpr int kMaxHeaderBytes = 64 * 1024;
// A chunk's size line (with its extensions) or a trailer line longer than
// this is no framing we read.
constexpr int kMaxChunkLine = 4096;
constexpr qint64 kNoEnd = std::numeric_limits<qint64>::max();
constexpr quint16 kHttpPort = 80;
constexpr quint16 kHttpsPort = 443;
} // namespace

struct HttpSlot::Private
{
    // Where the connection stands.
    enum class Phase {
        Closed,      // no connection
        Connecting,  // Connect called, Connected not yet seen
        Awaiting,    // requests sent, the first one's response header not complete yet
        Body,        // the first request's header accepted, its body arriving
        Idle         // kept open, nothing asked
    };
    // A request sent on the connection whose response has not ended yet.
    struct Request
    {
        qint64 first = 0;
        qint64 last = 0;
        bool ranged = true;
        bool ifRange = false;
    };

    QPointer<Winsock> socket;
    QString host;                // without "user:password@"
    QByteArray authorization;    // "Basic ..." from that login, or empty
    QByteArray userAgent = Settings::DefaultUserAgent; // the setting's, read once per file
    RequestHeaders extra;        // the user's lines for this server
    QString path;
    QByteArray etag;
    QByteArray lastModified;
    QByteArray ifRange;          // what every ranged request sends as If-Range
    bool ranges = true;


    QTimer *stallTimer = nullptr;

    Phase phase = Phase::Closed;
    QList<Request> pending;      // in the order the responses come
    int responsesOnConnection = 0;
    // The connection was opened ahead (WarmConnections) and has not answered
    // yet: the server may have closed it while it waited unused.
    bool openedAhead = false;
    bool capped = false;         // the server answered a range with less than asked
    QByteArray head;             // response header gathered so far
    QByteArray readBuffer;       // what the socket brings is read through this
    // What the probe had read of the answer this connection carries, not
    // handled yet: it comes before anything still in the socket.
    QByteArray probeBytes;
    qint64 bodyLeft = 0;         // body bytes of the response not received yet
    // How the body of the response in progress ends: after its
    // Content-Length, at the chunked framing's last chunk, or when the server
    // closes the connection (an answer that gives no length).
    enum class Framing { Length, Chunked, Close };
    Framing framing = Framing::Length;
    // Where a chunked body's reading stands: a size line, a chunk's bytes,
    // the line break after them, or the trailer lines after the last chunk.
    enum class ChunkAt { Size, Data, DataEnd, Trailer };
    ChunkAt chunkAt = ChunkAt::Size;
    qint64 chunkLeft = 0;        // bytes of the current chunk not received yet
    QByteArray chunkLine;        // a size or trailer line gathered so far
    int serverWait = 0;          // seconds the last answer asked to wait (Retry-After)
    bool closeAfter = false;     // the connection ends after this response
    qint64 responseStored = 0;   // bytes of this response written into the work file

    // Speed of the slot, for how much to ask ahead.
    QElapsedTimer rateClock;
    qint64 rateBytes = 0;
    qint64 rate = 0;             // bytes per second, 0 while unknown
    qint64 roundTrip = 0;        // microseconds, as the system measured it when the last measure began
};

HttpSlot::HttpSlot(int number, Winsock *socket, QObject *parent)
    : TransferSlot(number, parent), d(new Private), m_socket(socket)
{
    d->socket = socket;

    d->stallTimer = new QTimer(this);
    d->stallTimer->setSingleShot(true);
    d->stallTimer->setInterval(DefaultStallTimeout);
    connect(d->stallTimer, &QTimer::timeout, this, &HttpSlot::onStallTimeout);


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
    // A login in the address goes as Basic authorization, never in the Host
    // line nor to the name lookup.
    QByteArray user, password;
    d->host = splitLogin(host, &user, &password);
    d->authorization = d->host == host ? QByteArray() : "Basic " + (user + ':' + password).toBase64();
    d->path = path;
    d->userAgent = Settings::userAgent();
    // Another file, perhaps another server: what was learnt of the last one
    // does not hold.
    d->rate = 0;
    d->roundTrip = 0;
    d->rateBytes = 0;
    d->rateClock.invalidate();
    d->capped = false;
}

void HttpSlot::setValidators(const QByteArray &etag, const QByteArray &lastModified, bool ranges)
{
    d->etag = etag;
    d->lastModified = lastModified;
    ServerInfo info;
    info.etag = etag;
    info.lastModified = lastModified;
    d->ifRange = info.ifRangeValue();
    d->ranges = ranges;
}

void HttpSlot::setRequestHeaders(const RequestHeaders &headers)
{
    d->extra = headers;
}

void HttpSlot::setTls(bool on)
{
    // A connection kept open for the other kind of server is of no use.
    if (m_socket && m_socket->isTls() != on) {
        closeConnection();
        m_socket->setTls(on);
    }
}

void HttpSlot::setStallTimeout(int ms)
{
    d->stallTimer->setInterval(std::max(1, ms));
}

int HttpSlot::stallTimeout() const
{
    return d->stallTimer->interval();
}

// ---------------------------------------------------------------------------
// Connection control

qint64 HttpSlot::nextStreamByte() const
{
    using Phase = Private::Phase;
    if (d->phase == Phase::Body)
        return streamOffset();
    if (d->phase == Phase::Awaiting && !d->pending.isEmpty())
        return d->pending.first().first;
    return -1;
}

void HttpSlot::reconsider()
{
    using Phase = Private::Phase;
    const bool want = wantsBytes();
    switch (d->phase) {
    case Phase::Body:
    case Phase::Awaiting:
        // What is on its way is what is wanted next: keep it, ask for more.
        if (want && firstMissingByte() == nextStreamByte()) {
            fillPipeline();
            return;
        }
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
        if (want && !m_halted)
            fillPipeline();
        return;
    case Phase::Closed:
        break;
    }
    if (want && !m_halted && !m_retryTimer->isActive())
        openConnection();
}

void HttpSlot::openConnection()
{
    if (!d->socket)
        return;
    closeConnection();
    ++m_connections;
    d->phase = Private::Phase::Connecting;
    d->responsesOnConnection = 0;
    m_attemptBytes = 0;
    m_attemptPacks = 0;
    const bool tls = d->socket->isTls();
    d->stallTimer->start();
    d->openedAhead = false;
    if (takeProbeAnswer())
        return;
    // A connection opened ahead for this server (WarmConnections) saves the
    // handshakes; an open one is used from the event loop, as a fresh one
    // would tell Connected.
    if (Winsock *warm = WarmConnections::take(d->host, tls)) {
        d->openedAhead = true;
        d->socket->adopt(*warm);
        delete warm;
        if (d->socket->State() == Winsock::sckConnected)
            QMetaObject::invokeMethod(this, &HttpSlot::onConnected, Qt::QueuedConnection);
        return;
    }
    d->socket->setProxy(ProxyChoice::forServer(tls ? QStringLiteral("https") : QStringLiteral("http"), d->host));
    d->socket->Connect(d->host, tls ? kHttpsPort : kHttpPort);
}

qint64 HttpSlot::keptAnswerReach() const
{
    return d->socket ? WarmConnections::answerReach(d->host, d->path, d->socket->isTls()) : -1;
}

bool HttpSlot::takeProbeAnswer()
{
    WarmConnections::Answer answer;
    if (firstMissingByte() != 0 || !WarmConnections::takeAnswer(d->host, d->path, d->socket->isTls(), &answer))
        return false;
    if (answer.ranged != d->ranges) {
        if (answer.socket)
            answer.socket->deleteLater();   // not the request this slot would send
        return false;
    }
    if (answer.socket) {
        d->socket->adopt(*answer.socket);
        delete answer.socket;
    }
    // The probe's request, as if this slot had sent it: its answer is judged
    // like any other, from its header on.
    d->pending = {Private::Request{0, answer.last, answer.ranged, false}};
    d->probeBytes = answer.received;
    awaitAnswer();
    if (answer.ranged && m_plan && m_plan->packSize() > 0)
        emit packsRequested(m_number, answer.last / m_plan->packSize());
    // A connection the server has closed since: its bytes, then its close.
    QMetaObject::invokeMethod(this, answer.socket ? &HttpSlot::onDataArrival : &HttpSlot::onClosed,
                              Qt::QueuedConnection);
    return true;
}

void HttpSlot::handleProbeBytes()
{
    if (!d->probeBytes.isEmpty())
        handleBytes(std::exchange(d->probeBytes, QByteArray()));
}

void HttpSlot::closeConnection()
{
    if (d->socket)
        Ferme_Connect(*d->socket);
    d->phase = Private::Phase::Closed;
    d->stallTimer->stop();
    d->head.clear();
    d->probeBytes.clear();
    d->bodyLeft = 0;
    // What was asked on this connection will not come: those packs may be
    // given to another slot again.
    if (!d->pending.isEmpty())
        emit requestsDropped(m_number);
    d->pending.clear();
}

qint64 HttpSlot::aheadTarget() const
{
    // Six round trips at the slot's latest speed. What is asked and not yet
    // here also sits in the server's send buffer and on the way (two round
    // trips or so), the next request takes half a round trip to cross, and
    // while the connection's window grows its speed doubles every round trip:
    // with less, the server runs dry between requests (over a 60 ms link, two
    // round trips made the download 5 % slower). What another slot running
    // out of work cannot take from this one is no more than that.
    // Near the server a round trip is worth a few kilobytes: then a second's
    // work, but at most two default packs (a request per pack would cost more
    // than it carries) and at least MeaningfulAttempt; two default packs too
    // while the speed is not known.
    // Towards the end no more than the slot's share of what nobody has asked
    // for yet, but at least two round trips, so that its server does not run
    // dry between requests. What is asked is the slot's to finish, and a slot
    // whose work runs out idles while the others still carry what they asked:
    // on a link that four connections share, the others do not soon take its
    // part of the link (150 ms and 20 Mbit/s, a 16 MiB file: 9.5 s with six
    // round trips ahead to the end, 8.7 s with this).
    static constexpr qint64 RoundTripsAhead = 6, RoundTripsLeast = 2;
    static constexpr qint64 Unknown = 512 << 10, Least = MeaningfulAttempt, Most = 32 << 20;
    const auto roundTrips = [this](qint64 count) { return d->rate * count * d->roundTrip / 1000000; };
    const qint64 near = std::clamp(d->rate, Least, Unknown);
    const qint64 target = d->rate <= 0 ? Unknown : std::clamp(std::max(near, roundTrips(RoundTripsAhead)), Least, Most);
    if (!m_plan || m_plan->slotCount() <= 0 || !m_plan->sizeKnown())
        return target;
    const qint64 share = m_plan->untakenCount() * m_plan->packSize() / m_plan->slotCount();
    return std::min(target, std::max({2 * Least, roundTrips(RoundTripsLeast), share}));
}

void HttpSlot::fillPipeline()
{
    using Phase = Private::Phase;
    if (!d->socket || m_halted || !wantsBytes())
        return;
    if (d->phase != Phase::Idle && d->phase != Phase::Awaiting && d->phase != Phase::Body)
        return;
    const qint64 fileSize = m_plan ? m_plan->fileSize() : 0;
    if (!d->ranges) {
        // The whole file or nothing: a pack begun on an earlier attempt starts
        // again from its first byte.
        if (!d->pending.isEmpty())
            return;
        if (Paquet_Recu > 1) {
            Paquet_Recu = 1;
            emit packRestarted(m_number);
        }
        sendRequest(0, std::max(fileSize, Paquet_Debut + Paquet_Taille) - 1);
        return;
    }
    const qint64 packLast = Paquet_Debut + Paquet_Taille - 1;
    const qint64 runLast = m_plan ? m_plan->runLastByte(m_number) : -1;
    const qint64 limit = std::max(runLast, packLast);
    const int depth = d->capped ? 1 : 4;
    while (d->pending.size() < depth) {
        const qint64 from = d->pending.isEmpty() ? firstMissingByte() : d->pending.last().last + 1;
        if (from > limit)
            return;
        const qint64 target = aheadTarget();
        if (!d->pending.isEmpty() && from - firstMissingByte() >= target)
            return;
        // As much as is kept ahead, so that the pipeline holds one or two
        // requests; towards the end no more than a share of what is left, so
        // that a slot running out of work still finds packs to take.
        qint64 size = target;
        if (m_plan && m_plan->slotCount() > 0)
            size = std::min(size, m_plan->unstartedCount() * m_plan->packSize() / (2 * m_plan->slotCount()));
        qint64 last = std::min(limit, from + std::max(size, MeaningfulAttempt) - 1);
        // Whole packs, so that another slot can take the rest pack by pack.
        if (m_plan && m_plan->packSize() > 0) {
            const qint64 pack = last / m_plan->packSize();
            last = std::min(limit, m_plan->packLastByte(pack));
            emit packsRequested(m_number, pack);
        }
        if (!sendRequest(from, last))
            return;
    }
}

bool HttpSlot::sendRequest(qint64 first, qint64 last)
{
    const bool ranged = d->ranges;
    const QByteArray &validator = d->ifRange;
    QList<QByteArray> lines = {"GET " + d->socket->requestTarget(d->host, d->path.toUtf8()) + " HTTP/1.1",
                               "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*",
                               "Accept-Language: fr",
                               "User-Agent: " + d->userAgent};
    if (ranged) {
        lines += "Range: bytes=" + QByteArray::number(first) + '-' + QByteArray::number(last);
        if (!validator.isEmpty())
            lines += "If-Range: " + validator;
    }
    lines += "Host: " + d->host.toUtf8();
    if (!d->authorization.isEmpty())
        lines += "Authorization: " + d->authorization;
    lines += d->socket->proxyLines();
    d->extra.addTo(&lines);
    lines += {"Connection: Keep-Alive", QByteArray()};
    QByteArray request;
    if (!joinLines(lines, &request)) {
        emit requestsDropped(m_number);
        closeConnection();
        refuseAddress();
        return false;
    }

    const bool first_ = d->pending.isEmpty();
    d->pending.append({first, last, ranged, ranged && !validator.isEmpty()});
    Txt_Sended = request;
    ++m_requests;
    if (first_)
        awaitAnswer();
    d->socket->SendData(request);
    return true;
}

void HttpSlot::awaitAnswer()
{
    Entete_Lu = false;
    d->phase = Private::Phase::Awaiting;
    d->head.clear();
    d->bodyLeft = 0;
    d->responseStored = 0;
    emit activityChanged(m_number, SlotActivity::Sending);
    d->stallTimer->start();
}

void HttpSlot::failAttempt()
{
    closeConnection();
    retryLater();
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
    d->phase = Private::Phase::Idle;
    fillPipeline();
}

void HttpSlot::onDataArrival()
{
    // One buffer for the slot's life: the body is the hot path, and a fresh
    // array per chunk costs an allocation and page faults every time.
    static constexpr qint64 ReadSize = 256 * 1024;
    if (d->readBuffer.size() != ReadSize)
        d->readBuffer.resize(ReadSize);
    handleProbeBytes();
    // A chunk may end the connection (a reply refused, a work file that
    // cannot be written): what is left in the socket is not read then. A fast
    // connection could fill the buffer again as fast as it is stored: after
    // a few chunks the other slots and the timers get their turn, and the
    // socket tells again what is left.
    for (int chunks = 0; chunks < 4 && d->socket && d->phase != Private::Phase::Closed; ++chunks) {
        const qint64 n = d->socket->GetData(d->readBuffer.data(), ReadSize);
        if (n <= 0)
            break;
        // handleBytes copies whatever it keeps, so the buffer can be reused.
        handleBytes(QByteArray::fromRawData(d->readBuffer.constData(), n));
    }
    reconsider();
}

bool HttpSlot::takeLastBytes()
{
    handleProbeBytes();
    if (d->phase == Private::Phase::Closed)
        return false;
    const QByteArray rest = d->socket->GetData();
    if (!rest.isEmpty())
        handleBytes(rest);
    return d->phase != Private::Phase::Closed;
}

bool HttpSlot::endedBetweenAnswers() const
{
    // The server ended a kept-open connection before it began the next
    // answer: nothing was lost, a new connection asks again.
    using Phase = Private::Phase;
    // So did one opened ahead that the server closed unused, before any
    // answer: a server's idle timeout, no trouble of the network.
    const bool waited = d->responsesOnConnection > 0 || d->openedAhead;
    return d->phase == Phase::Idle || (d->phase == Phase::Awaiting && waited && d->head.isEmpty());
}

void HttpSlot::onClosed()
{
    using Phase = Private::Phase;
    if (!d->socket || d->phase == Phase::Closed)
        return;
    // The peer's last bytes may come together with its close.
    if (!takeLastBytes()) {
        reconsider();
        return;
    }
    if (endedBetweenAnswers()) {
        closeConnection();
        reconsider();
        return;
    }
    // An answer without a length ends where the server closes.
    if (d->phase == Phase::Body && d->framing == Private::Framing::Close) {
        responseEnded();
        reconsider();
        return;
    }
    noteTrouble(QStringLiteral("The server closed the connection"));
    failAttempt();
}

void HttpSlot::onError(int number, const QString &description)
{
    using Phase = Private::Phase;
    if (!d->socket || d->phase == Phase::Closed)
        return;
    if (!takeLastBytes()) {
        reconsider();
        return;
    }
    if (endedBetweenAnswers()) {
        closeConnection();
        reconsider();
        return;
    }
    if (number == Winsock::sckHostNotFound || number == Winsock::sckCertificateRefused
        || number == Winsock::sckProxyRefused) {
        // No address for the name, a certificate that cannot be trusted, or a
        // proxy that will not carry the connection: asking again will not change it.
        closeConnection();
        haltWith(number, description);
        return;
    }
    noteTrouble(description);
    failAttempt();
}

void HttpSlot::onStallTimeout()
{
    using Phase = Private::Phase;
    if (d->phase == Phase::Connecting || d->phase == Phase::Awaiting || d->phase == Phase::Body) {
        noteTrouble(QStringLiteral("The server sent nothing for %1 s").arg(d->stallTimer->interval() / 1000));
        failAttempt();
    }
}

void HttpSlot::retryNow()
{
    if (d->phase == Private::Phase::Closed && wantsBytes() && !m_halted)
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
        if (d->phase == Phase::Idle)
            closeConnection();
        return;
    }
    d->stallTimer->start();

    const char *p = data.constData();
    qint64 n = data.size();

    while (n > 0 && d->phase != Phase::Closed) {
        if (d->phase == Phase::Awaiting) {
            // No header we can use is longer than kMaxHeaderBytes: no more of
            // the chunk is gathered, and the body after the header is read
            // where it lies.
            const qsizetype had = d->head.size();
            d->head.append(p, qsizetype(std::min<qint64>(n, kMaxHeaderBytes + 4 - had)));
            const int end = HttpParse::headerEnd(d->head);
            if (end < 0) {
                if (d->head.size() > kMaxHeaderBytes)
                    failAttempt();
                break;
            }
            const qint64 headerBytes = end + 4 - had;
            p += headerBytes;
            n -= headerBytes;
            const QByteArray header = d->head.left(end);
            d->head.clear();
            QString why;
            const Verdict verdict = acceptHeader(header, &why);
            if (verdict == Verdict::Refuse) {
                noteTrouble(QStringLiteral("The server answered \"%1\"")
                                .arg(QString::fromLatin1(HttpParse::firstLine(header)).simplified()));
                failAttempt();
                break;
            }
            if (verdict == Verdict::Later) {
                closeConnection();
                waitForServer(d->serverWait);
                break;
            }
            if (verdict == Verdict::Changed || verdict == Verdict::Denied) {
                closeConnection();
                m_retryTimer->stop();
                m_halted = true;
                if (verdict == Verdict::Changed)
                    emit fileChanged(m_number, why);
                else
                    emit accessRefused(m_number, why);
                break;
            }
            if (d->bodyLeft == 0)
                responseEnded();
            continue;
        }
        if (d->phase != Phase::Body) {
            // More than the server announced: out of step.
            closeConnection();
            break;
        }
        if (d->framing == Private::Framing::Chunked) {
            const qint64 used = takeChunked(p, n);
            if (used < 0)
                break;
            p += used;
            n -= used;
            continue;
        }
        const qint64 take = std::min(n, d->bodyLeft);
        if (!storeBytes(p, take))
            break;
        if (d->framing == Private::Framing::Length)
            d->bodyLeft -= take;
        p += take;
        n -= take;
        if (d->bodyLeft == 0)
            responseEnded();
    }
}

bool HttpSlot::storeBytes(const char *data, qint64 take)
{
    const qint64 stored = storeBody(data, take);
    if (stored < 0)
        return false;
    d->responseStored += stored;
    noteSpeed(stored);
    if (stored < take) {
        // Bytes the slot does not want (past its run, or its pack lies
        // elsewhere): the connection is out of step with the plan.
        closeConnection();
        return false;
    }
    return true;
}

qint64 HttpSlot::takeChunked(const char *data, qint64 size)
{
    using At = Private::ChunkAt;
    if (d->chunkAt == At::Data) {
        const qint64 take = std::min(size, d->chunkLeft);
        if (!storeBytes(data, take))
            return -1;
        d->chunkLeft -= take;
        if (d->chunkLeft == 0)
            d->chunkAt = At::DataEnd;
        return take;
    }
    // Everything but the chunks' bytes is read a line at a time.
    const auto *lf = static_cast<const char *>(std::memchr(data, '\n', size_t(size)));
    const qint64 used = lf ? lf - data + 1 : size;
    d->chunkLine.append(data, qsizetype(used));
    bool framed = d->chunkLine.size() <= kMaxChunkLine;
    if (framed && lf) {
        const QByteArray line = d->chunkLine.trimmed();
        d->chunkLine.clear();
        if (d->chunkAt == At::Size) {
            // The size in hexadecimal, perhaps followed by ";name=value" extensions.
            const qsizetype semi = line.indexOf(';');
            qint64 chunk = (semi >= 0 ? line.left(semi) : line).trimmed().toLongLong(&framed, 16);
            framed = framed && chunk >= 0;
            d->chunkLeft = chunk;
            d->chunkAt = chunk > 0 ? At::Data : At::Trailer;
        } else if (d->chunkAt == At::DataEnd) {
            framed = line.isEmpty();
            d->chunkAt = At::Size;
        } else if (line.isEmpty()) {
            // The empty line after the last chunk's trailer: the answer is whole.
            responseEnded();
        }
    }
    if (!framed) {
        noteTrouble(QStringLiteral("The server's chunked answer is malformed"));
        failAttempt();
        return -1;
    }
    return used;
}

HttpSlot::Verdict HttpSlot::acceptHeader(const QByteArray &header, QString *why)
{
    Txt_Recu = header;
    const Private::Request req = d->pending.first();
    const int status = HttpParse::statusCode(header);
    const QString statusLine = QString::fromLatin1(HttpParse::firstLine(header)).simplified();
    // The file is gone, or shorter than the range asked for.
    if (status == 404 || status == 410 || status == 416) {
        *why = QStringLiteral("the server answered \"%1\"").arg(statusLine);
        return Verdict::Changed;
    }
    // A login or a session the server wants (or no longer takes: a signed
    // address that expired): no retry gets further.
    if (status == 401 || status == 403) {
        *why = QStringLiteral("the server answered \"%1\"").arg(statusLine);
        return Verdict::Denied;
    }
    // Busy, or too many requests: a wait the server names (within reason)
    // is waited without spending an attempt; any other is a failed attempt.
    if (status == 429 || status == 503) {
        const qint64 wait = HttpParse::retryAfter(header, QDateTime::currentDateTimeUtc());
        if (wait < 0 || wait > MaxServerWait)
            return Verdict::Refuse;
        d->serverWait = int(wait);
        return Verdict::Later;
    }
    bool ok = false;
    qint64 length = HttpParse::contentLength(header, &ok);
    // The body ends after its length, at its last chunk, or where the server
    // closes the connection. Only chunking can be undone here: a compressed
    // body is not the file's bytes.
    using Framing = Private::Framing;
    Framing framing = Framing::Length;
    const QByteArray coding = HttpParse::headerValue(header, "Transfer-Encoding").toLower().trimmed();
    if (coding == "chunked")
        framing = Framing::Chunked;
    else if (!coding.isEmpty() && coding != "identity")
        return Verdict::Refuse;
    else if (!ok && HttpParse::hasHeader(header, "Content-Length"))
        return Verdict::Refuse;   // a length that does not read
    else if (!ok)
        framing = Framing::Close;
    if (status != 200 && status != 206)
        return Verdict::Refuse;

    // The validators of the file the download began with.
    const QByteArray etag = HttpParse::headerValue(header, "ETag");
    const QByteArray date = HttpParse::headerValue(header, "Last-Modified");
    if (!d->etag.isEmpty() && !etag.isEmpty() && etag != d->etag) {
        *why = QStringLiteral("its entity tag is now %1, it was %2")
                   .arg(QString::fromLatin1(etag), QString::fromLatin1(d->etag));
        return Verdict::Changed;
    }
    if (d->etag.isEmpty() && !d->lastModified.isEmpty() && !date.isEmpty() && date != d->lastModified) {
        *why = QStringLiteral("it was modified on %1").arg(QString::fromLatin1(date));
        return Verdict::Changed;
    }

    const qint64 fileSize = m_plan ? m_plan->fileSize() : 0;
    qint64 body = length;
    bool closeAfter = false;
    if (status == 206) {
        HttpParse::ContentRange range;
        if (!req.ranged || !HttpParse::contentRange(header, &range) || range.first != req.first
            || (framing == Framing::Length && length != range.last - range.first + 1))
            return Verdict::Refuse;
        // A range says its own length when the header does not.
        if (framing == Framing::Close) {
            framing = Framing::Length;
            body = length = range.last - range.first + 1;
        }
        if (fileSize > 0 && range.total >= 0 && range.total != fileSize) {
            *why = QStringLiteral("its size is now %1 bytes, it was %2").arg(range.total).arg(fileSize);
            return Verdict::Changed;
        }
        // More than asked: the part asked for is taken, the rest is not read.
        if (range.last > req.last) {
            body = req.last - req.first + 1;
            closeAfter = true;
        }
        // A server that cuts ranges short gets one request at a time: the next
        // one is asked where this one really ended.
        if (range.last < req.last) {
            d->capped = true;
            closeAfter = d->pending.size() > 1;
        }
    } else {
        // A whole file where a range was asked under If-Range: the file is
        // another one than the validator names.
        if (req.ifRange) {
            *why = QStringLiteral("the server sent the whole file instead of the part asked for");
            return Verdict::Changed;
        }
        if (req.first != 0)
            return Verdict::Refuse;
        if (framing == Framing::Length && fileSize > 0 && length != fileSize) {
            *why = QStringLiteral("its size is now %1 bytes, it was %2").arg(length).arg(fileSize);
            return Verdict::Changed;
        }
        // The start is right; whatever follows the part asked for is not read.
        if (framing == Framing::Length && length > req.last - req.first + 1) {
            body = req.last - req.first + 1;
            closeAfter = true;
        }
    }

    const QByteArray connection = HttpParse::headerValue(header, "Connection").toLower();
    const bool http10 = HttpParse::firstLine(header).toUpper().startsWith("HTTP/1.0");
    d->closeAfter = closeAfter || framing == Framing::Close || connection.contains("close")
                    || (http10 && !connection.contains("keep-alive"));
    Entete_Lu = true;
    d->phase = Private::Phase::Body;
    d->framing = framing;
    d->bodyLeft = framing == Framing::Length ? body : kNoEnd;
    d->chunkAt = Private::ChunkAt::Size;
    d->chunkLine.clear();
    beginStream(req.first);
    d->responseStored = 0;
    return Verdict::Accept;
}

void HttpSlot::noteSpeed(qint64 bytes)
{
    // Measured over two round trips (at least 20 ms, for the clock's sake, and
    // at most 200 ms): while the connection's window grows, a longer measure
    // would lag it. A rise is taken at once, a fall halfway. The round trip is
    // asked of the system once per measure, not per chunk.
    static constexpr qint64 Shortest = 20000, Longest = 200000;   // microseconds
    d->rateBytes += bytes;
    const auto begin = [this] {
        d->roundTrip = d->socket ? d->socket->roundTripMicros() : 0;
        d->rateClock.start();
    };
    if (!d->rateClock.isValid())
        return begin();
    const qint64 us = d->rateClock.nsecsElapsed() / 1000;
    if (us < std::clamp(2 * d->roundTrip, Shortest, Longest))
        return;
    const qint64 now = qint64(double(d->rateBytes) * 1e6 / double(us));
    d->rate = now >= d->rate ? now : (d->rate + now) / 2;
    d->rateBytes = 0;
    begin();
}

void HttpSlot::responseEnded()
{
    const bool broughtNothing = d->responseStored == 0;
    // An answer that said no length ended before the last byte asked for:
    // the file on the server is shorter than the part asked for.
    const bool endedShort = d->framing != Private::Framing::Length && !d->pending.isEmpty()
                            && streamOffset() <= d->pending.first().last;
    if (!d->pending.isEmpty())
        d->pending.removeFirst();
    ++d->responsesOnConnection;
    if (d->closeAfter || !d->socket || d->socket->State() != Winsock::sckConnected) {
        // The requests behind this one will not be answered here; that is no
        // failure, a new connection asks again.
        closeConnection();
    } else if (d->pending.isEmpty()) {
        d->phase = Private::Phase::Idle;
        d->stallTimer->stop();
    } else {
        d->phase = Private::Phase::Awaiting;
        d->head.clear();
        d->responseStored = 0;
    }
    // The answer that carried a file of unknown size ended whole: so did the file.
    if (streamsUnknownSize()) {
        endUnknownSize();
        return;
    }
    // A reply that ended without one byte of what is still wanted would only
    // be asked again and again.
    if ((broughtNothing || endedShort) && wantsBytes()) {
        noteTrouble(QStringLiteral("The server's answer ended early"));
        failAttempt();
    }
}
