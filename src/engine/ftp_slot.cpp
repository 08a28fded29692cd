#include "engine/ftp_slot.h"

#include "core/winsock.h"
#include "engine/ftp_parse.h"
#include "engine/pack_plan.h"
#include "engine/url_helpers.h"
#include "engine/url_probe.h"

#include <QTimer>

#include <algorithm>

namespace {
constexpr quint16 kFtpPort = 21;
// The server's answer to ABOR may never come: after this the control
// connection is dropped and a new one logs in.
constexpr int kAbortPatience = 5000;
// No reply a slot waits for is this long.
constexpr qsizetype kMaxReplyBytes = 64 * 1024;
// What a server may have sent of a transfer beyond the bytes stored: its
// socket buffers and the client's, and the bursts of a server that caps its
// speed per second (a new data connection of pyftpdlib sends 4 MiB at once).
// Packs that close ahead of the stream are left to it: a slot taking them
// would fetch them a second time, and cutting this transfer there would
// throw away what is already on its way.
constexpr qint64 kInFlight = 8 << 20;
} // namespace

enum class FtpSlot::Command { Greeting, User, Pass, Type, Epsv, Pasv, Port, Rest, Retr, Abor };

struct FtpSlot::Private
{
    enum class Phase {
        Closed,      // no control connection
        Connecting,  // Connect called
        LoggingIn,   // USER, PASS, TYPE I sent, replies awaited
        Ready,       // logged in, no transfer
        Opening,     // data connection command sent (EPSV, PASV or PORT)
        Restarting,  // REST sent
        Retrieving,  // RETR sent: the file's bytes arrive on the data connection
        Aborting     // ABOR sent, its replies awaited
    };
    enum class Mode { Epsv, Pasv, Port };

    QString host;
    QByteArray user = "anonymous";
    QByteArray pass = UrlProbe::AnonymousPassword;
    QByteArray path;             // what RETR names (escapes decoded)

    QTimer *stallTimer = nullptr;
    int stallTimeout = TransferSlot::DefaultStallTimeout;

    Phase phase = Phase::Closed;
    QList<Command> expect;       // replies still due, in order
    QByteArray replies;          // control bytes not read yet
    bool userAccepted = false;   // USER alone logged in (230)

    bool activeFirst = false;
    bool refused[3] = {false, false, false};   // per Mode, by this server
    bool dataOpen = false;
    bool retrDone = false;       // RETR's final reply came
    bool noRestart = false;      // the server refused REST: transfers start at byte 0
    qint64 restAt = 0;           // where the transfer asked for starts
};

FtpSlot::FtpSlot(int number, Winsock *control, Winsock *data, QObject *parent)
    : TransferSlot(number, parent), d(new Private), m_control(control), m_data(data)
{
    d->stallTimer = new QTimer(this);
    d->stallTimer->setSingleShot(true);
    connect(d->stallTimer, &QTimer::timeout, this, &FtpSlot::onStallTimeout);

    connect(control, &Winsock::Connected, this, &FtpSlot::onControlConnected);
    connect(control, &Winsock::DataArrival, this, &FtpSlot::onControlData);
    connect(control, &Winsock::Closed, this, &FtpSlot::onControlClosed);
    connect(control, &Winsock::Error, this, &FtpSlot::onSocketError);
    connect(data, &Winsock::Connected, this, &FtpSlot::onDataConnected);
    connect(data, &Winsock::ConnectionRequest, this, &FtpSlot::onDataRequest);
    connect(data, &Winsock::DataArrival, this, &FtpSlot::onDataArrival);
    connect(data, &Winsock::Closed, this, &FtpSlot::onDataClosed);
    connect(data, &Winsock::Error, this, &FtpSlot::onSocketError);
}

FtpSlot::~FtpSlot()
{
    delete d;
}

void FtpSlot::setTarget(const QString &host, const QString &path)
{
    closeAll();
    d->user = "anonymous";
    d->pass = UrlProbe::AnonymousPassword;
    d->host = splitLogin(host, &d->user, &d->pass);
    QString decoded;
    d->path = ftpServerPath(path, &decoded) ? decoded.toUtf8() : QByteArray();
    for (bool &r : d->refused)
        r = false;
    d->noRestart = false;
}

void FtpSlot::setActiveFirst(bool active)
{
    d->activeFirst = active;
}

void FtpSlot::setStallTimeout(int ms)
{
    d->stallTimeout = ms;
}

void FtpSlot::closeConnections()
{
    if (m_control->State() == Winsock::sckConnected)
        m_control->SendData("ABOR\r\nQUIT\r\n");
    closeAll();
}

void FtpSlot::closeAll()
{
    emit requestsDropped(m_number);
    Ferme_Connect(*m_data);
    Ferme_Connect(*m_control);
    d->phase = Private::Phase::Closed;
    d->expect.clear();
    d->replies.clear();
    d->dataOpen = false;
    d->retrDone = false;
    d->userAccepted = false;
    d->stallTimer->stop();
}

void FtpSlot::reconsider()
{
    using Phase = Private::Phase;
    if (!wantsBytes() || m_halted) {
        // The run is over: the transfer ends. The session stays logged in
        // for the slot's next run; stop() ends it when there is none.
        if (d->phase == Phase::Opening || d->phase == Phase::Restarting || d->phase == Phase::Retrieving)
            endTransfer();
        return;
    }
    switch (d->phase) {
    case Phase::Closed:
        if (!m_retryTimer->isActive()) {
            ++m_connections;
            d->phase = Phase::Connecting;
            d->stallTimer->start(d->stallTimeout);
            emit activityChanged(m_number, SlotActivity::Sending);
            m_control->Connect(d->host, kFtpPort);
        }
        break;
    case Phase::Ready:
        startTransfer();
        break;
    case Phase::Retrieving:
        // The pack goes on where the stream is, or the bytes before it are
        // dropped when the server cannot start elsewhere; anything else needs
        // a transfer of its own.
        if (firstMissingByte() != streamOffset() && !(d->noRestart && firstMissingByte() > streamOffset()))
            endTransfer();
        break;
    default:
        break;
    }
}

void FtpSlot::send(const QList<QByteArray> &lines, std::initializer_list<Command> replies)
{
    QByteArray commands;
    if (!joinLines(lines, &commands)) {
        closeAll();
        refuseAddress();
        return;
    }
    Txt_Sended = commands;
    d->expect.append(replies);
    d->stallTimer->start(d->stallTimeout);
    m_control->SendData(commands);
}

void FtpSlot::onControlConnected()
{
    if (d->phase != Private::Phase::Connecting)
        return;
    d->phase = Private::Phase::LoggingIn;
    Entete_Lu = false;
    d->expect = {Command::Greeting};
    send({"USER " + d->user, "PASS " + d->pass, "TYPE I"}, {Command::User, Command::Pass, Command::Type});
}

void FtpSlot::onControlData()
{
    d->replies += m_control->GetData();
    // A reply may end the session (a refusal): the replies after it are not read.
    while (d->phase != Private::Phase::Closed) {
        FtpParse::Reply reply;
        const qsizetype used = FtpParse::takeReply(d->replies, &reply);
        if (used == 0 && d->replies.size() <= kMaxReplyBytes)
            return;
        if (used <= 0) {
            // Not a reply, or one that never ends.
            Txt_Recu = d->replies.left(200);
            failAttempt();
            return;
        }
        d->replies.remove(0, used);
        Txt_Recu = QByteArray::number(reply.code) + ' ' + reply.text;
        handleReply(reply.code, reply.text);
    }
}

void FtpSlot::handleReply(int code, const QByteArray &text)
{
    using Phase = Private::Phase;
    if (d->expect.isEmpty()) {
        // Unasked: a server closing an idle session ("421 Timeout") says so.
        if (code >= 400) {
            closeAll();
            reconsider();
        }
        return;
    }
    const Command command = d->expect.first();
    if (code < 200)
        return;   // preliminary ("150 Opening data connection")
    d->expect.removeFirst();
    d->stallTimer->start(d->stallTimeout);
    const bool ok = code < 400;
    switch (command) {
    case Command::Greeting:
    case Command::Type:
        if (!ok)
            return failAttempt();
        if (command == Command::Type) {
            d->phase = Phase::Ready;
            d->stallTimer->stop();
            reconsider();
        }
        return;
    case Command::User:
        d->userAccepted = code == 230;
        if (code != 230 && code != 331)
            return failAttempt();
        return;
    case Command::Pass:
        if (!(code == 230 || code == 202 || (d->userAccepted && code == 503)))
            return failAttempt();
        return;
    case Command::Epsv:
    case Command::Pasv:
    case Command::Port: {
        if (d->phase != Phase::Opening)
            break;
        const auto mode = command == Command::Epsv ? Private::Mode::Epsv
                          : command == Command::Pasv ? Private::Mode::Pasv : Private::Mode::Port;
        if (!ok) {
            if (code >= 500) {
                // This server does not do that one: the next kind is asked.
                d->refused[int(mode)] = true;
                Ferme_Connect(*m_data);
                return openDataConnection();
            }
            return failAttempt();
        }
        if (mode != Private::Mode::Port) {
            QString ignored;
            quint16 port = 0;
            const bool parsed = mode == Private::Mode::Epsv ? FtpParse::epsvPort(text, &port)
                                                            : FtpParse::pasvAddress(text, &ignored, &port);
            if (!parsed)
                return failAttempt();
            // Only ever the control connection's own host, whatever the reply names.
            Ferme_Connect(*m_data);
            m_data->Connect(m_control->RemoteHost(), port);
        }
        d->phase = Phase::Restarting;
        d->restAt = d->noRestart ? 0 : firstMissingByte();
        if (d->restAt == 0 && d->noRestart) {
            d->phase = Phase::Retrieving;
            beginStream(0);
            d->retrDone = false;
            ++m_requests;
            send({"RETR " + d->path}, {Command::Retr});
        } else {
            send({"REST " + QByteArray::number(d->restAt)}, {Command::Rest});
        }
        return;
    }
    case Command::Rest:
        if (d->phase != Phase::Restarting)
            break;
        if (!ok && d->restAt > 0) {
            // The server cannot start in the middle: it sends from byte 0 and
            // the bytes before the pack are dropped.
            d->noRestart = true;
            d->restAt = 0;
            emit restartRefused(m_number);
        }
        d->phase = Phase::Retrieving;
        beginStream(ok ? d->restAt : 0);
        d->retrDone = false;
        ++m_requests;
        send({"RETR " + d->path}, {Command::Retr});
        // The pack may have changed while REST was on its way.
        reconsider();
        return;
    case Command::Retr:
        if (d->phase == Phase::Aborting)
            break;   // the 426 of the transfer ABOR ended
        if (code == 550 || code == 450) {
            m_halted = true;
            closeAll();
            emit fileChanged(m_number, QStringLiteral("the server has no such file any more (%1)")
                                           .arg(QString::fromUtf8(text.left(200))));
            return;
        }
        if (!ok)
            return failAttempt();
        d->retrDone = true;
        if (!d->dataOpen)
            transferEnded();
        return;
    case Command::Abor:
        break;
    }
    if (d->phase == Phase::Aborting && d->expect.isEmpty()) {
        d->phase = Phase::Ready;
        d->stallTimer->stop();
        reconsider();
    }
}

void FtpSlot::startTransfer()
{
    d->phase = Private::Phase::Opening;
    openDataConnection();
}

void FtpSlot::openDataConnection()
{
    using Mode = Private::Mode;
    const Mode order[2][3] = {{Mode::Epsv, Mode::Pasv, Mode::Port}, {Mode::Port, Mode::Epsv, Mode::Pasv}};
    for (Mode mode : order[d->activeFirst ? 1 : 0]) {
        if (d->refused[int(mode)])
            continue;
        if (mode == Mode::Epsv)
            return send({"EPSV"}, {Command::Epsv});
        if (mode == Mode::Pasv)
            return send({"PASV"}, {Command::Pasv});
        // Active: the server connects back to a port this side listens on,
        // at the address the control connection goes out from.
        Ferme_Connect(*m_data);
        m_data->setListenAddress(m_control->LocalIP());
        m_data->setLocalPort(0);
        m_data->Listen();
        const QByteArray argument = FtpParse::portArgument(m_control->LocalIP(), m_data->LocalPort());
        if (argument.isEmpty()) {
            d->refused[int(Mode::Port)] = true;
            Ferme_Connect(*m_data);
            continue;
        }
        return send({"PORT " + argument}, {Command::Port});
    }
    // No way to open a data connection to this server.
    for (bool &r : d->refused)
        r = false;
    failAttempt();
}

void FtpSlot::endTransfer()
{
    const bool retrPending = d->phase == Private::Phase::Retrieving && !d->retrDone;
    emit requestsDropped(m_number);
    Ferme_Connect(*m_data);
    d->dataOpen = false;
    // What is still due from the commands sent, then ABOR's own reply.
    d->expect.clear();
    if (retrPending)
        d->expect.append(Command::Retr);
    d->phase = Private::Phase::Aborting;
    send({"ABOR"}, {Command::Abor});
    d->stallTimer->start(std::min(d->stallTimeout, kAbortPatience));
}

void FtpSlot::transferEnded()
{
    // The server sent the whole rest of the file.
    d->phase = Private::Phase::Ready;
    d->stallTimer->stop();
    if (wantsBytes() && firstMissingByte() >= streamOffset()) {
        m_halted = true;
        closeAll();
        emit fileChanged(m_number, QStringLiteral("the file on the server ends at byte %1, before the pack")
                                       .arg(streamOffset()));
        return;
    }
    reconsider();
}

void FtpSlot::onDataConnected()
{
    d->dataOpen = true;
}

void FtpSlot::onDataRequest(int requestId)
{
    // Only the server this slot talks to may connect back: anyone else who
    // finds the port (another program or user of this machine, another host)
    // would have their bytes stored in the packs. They are turned away and the
    // listener keeps waiting for the server.
    if (Winsock::RequestHostIP(requestId) != m_control->RemoteHostIP()) {
        Winsock::Refuse(requestId);
        return;
    }
    // The server connects back: the listener closes and takes the connection.
    Ferme_Connect(*m_data);
    m_data->Accept(requestId);
    d->dataOpen = true;
}

void FtpSlot::onDataArrival()
{
    char buffer[64 * 1024];
    // Bounded, so that a fast connection leaves the other slots their turn;
    // the socket tells again what is left.
    for (int chunks = 0; chunks < 16; ++chunks) {
        const qint64 n = m_data->GetData(buffer, sizeof buffer);
        if (n <= 0)
            break;
        d->stallTimer->start(d->stallTimeout);
        // Late bytes of an ended transfer are dropped.
        if (d->phase != Private::Phase::Retrieving)
            continue;
        const qint64 used = storeBody(buffer, n);
        if (used < 0)
            break;
        // What is left of the chunk lies past what this slot wants: the
        // stream moves on over it, and reconsider() ends the transfer. No
        // more is read: a buffer emptied would only let the server send more
        // of what nobody wants.
        skipBody(n - used);
        if (used < n)
            break;
    }
    if (d->phase == Private::Phase::Retrieving && wantsBytes() && m_plan && m_plan->packSize() > 0)
        emit packsRequested(m_number, (streamOffset() + kInFlight) / m_plan->packSize());
    reconsider();
}

void FtpSlot::onDataClosed()
{
    if (!d->dataOpen)
        return;
    onDataArrival();
    Ferme_Connect(*m_data);
    d->dataOpen = false;
    if (d->phase == Private::Phase::Retrieving && d->retrDone)
        transferEnded();
}

void FtpSlot::failAttempt()
{
    closeAll();
    retryLater();
}

void FtpSlot::onControlClosed()
{
    if (d->phase == Private::Phase::Closed)
        return;
    onControlData();
    if (d->phase == Private::Phase::Closed)
        return;
    // A session the server ended while nothing was asked is simply opened
    // again; anything else is a failed attempt.
    if (d->phase == Private::Phase::Ready || d->phase == Private::Phase::Aborting) {
        closeAll();
        reconsider();
    } else {
        failAttempt();
    }
}

void FtpSlot::onSocketError(int number, const QString &description)
{
    if (d->phase == Private::Phase::Closed)
        return;
    if (sender() == m_data && (d->phase == Private::Phase::Aborting || d->retrDone))
        return;
    if (number == Winsock::sckHostNotFound) {
        closeAll();
        haltWith(number, description);
        return;
    }
    noteTrouble(description);
    failAttempt();
}

void FtpSlot::onStallTimeout()
{
    if (d->phase == Private::Phase::Aborting) {
        // ABOR went unanswered: a fresh session is cheaper than waiting.
        closeAll();
        reconsider();
        return;
    }
    if (d->phase != Private::Phase::Closed && d->phase != Private::Phase::Ready)
        failAttempt();
}

void FtpSlot::retryNow()
{
    if (d->phase == Private::Phase::Closed && wantsBytes() && !m_halted)
        reconsider();
}
