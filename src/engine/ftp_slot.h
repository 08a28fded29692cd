#pragma once
#include "engine/transfer_slot.h"

class QTimer;

// One FTP transfer lane. The slot keeps a control connection logged in and
// fetches its run of packs (consecutive packs of the plan) as one transfer:
// REST at the run's first missing byte, RETR, and the arriving bytes handed to
// the store loop of TransferSlot, which writes them into the work file at
// their offsets. When the run is over (or the next pack does not follow on the stream)
// the transfer is ended with ABOR and the data connection closed; the control
// connection stays logged in for the next run. stop() ends the session with
// QUIT (the crew stops a slot it has no more work for).
//
// The server's replies are read: the log-in (USER, PASS, TYPE I), the data
// connection (EPSV, then PASV, then the active PORT, or PORT first when active
// mode is preferred), REST and RETR. A refusal ends the attempt as a network
// failure (retried after 1, 2, 4 ... seconds, given up after five in a row); a
// 550 to RETR says the file is gone (fileChanged). A passive reply is only
// ever connected to the control connection's own host.
//
// No wrong byte is stored: bytes are written only at the stream offset the
// transfer started from, never past the pack in progress, and bytes arriving
// after the run was ended are dropped. In active mode only the control
// connection's peer may open the data connection. A server that refuses REST
// sends the file from its first byte: the bytes before the pack are dropped
// and restartRefused() tells the crew, which leaves the rest of the file
// to this slot.
class FtpSlot : public TransferSlot
{
    Q_OBJECT
public:
    // number: 1..4; control and data: the slot's sockets (WskF_n and WskFn),
    // owned by the caller.
    FtpSlot(int number, Winsock *control, Winsock *data, QObject *parent = nullptr);
    ~FtpSlot() override;

    Winsock *socket() const override { return m_control; }
    Winsock *dataSocket() const { return m_data; }

    // host may begin with "user:password@" (escapes decoded); without it the
    // slot logs in as "anonymous". Port 21 unless the host text names one.
    void setTarget(const QString &host, const QString &path) override;
    // Active mode (PORT) is tried before passive mode.
    void setActiveFirst(bool active);
    void setStallTimeout(int ms) override;

private:
    struct Private;
    enum class Command;

    void onControlConnected();
    void onControlData();
    void onControlClosed();
    void onDataConnected();
    void onDataRequest(int requestId);
    void onDataArrival();
    void onDataClosed();
    void onSocketError(int number, const QString &description);
    void onStallTimeout();
    void retryNow() override;

    // Sends the command lines in one write and awaits one reply per command.
    // A line that would hold a line break of its own halts the slot unsent.
    void send(const QList<QByteArray> &lines, std::initializer_list<Command> replies);
    void handleReply(int code, const QByteArray &text);
    void openDataConnection();
    void startTransfer();
    void endTransfer();
    void transferEnded();
    void reconsider() override;
    // The transfer and the session end together, in one write.
    void closeConnections() override;
    void closeAll();
    void failAttempt();

    Private *d;
    Winsock *m_control;
    Winsock *m_data;
};
