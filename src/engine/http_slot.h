#pragma once
#include "engine/transfer_slot.h"

class QTimer;
class RequestHeaders;

// One HTTP transfer lane. The slot fetches its run of packs (consecutive packs
// of the plan) over a connection it keeps open, and writes the arriving body
// bytes into the work file, pack after pack.
//
// Division of work. The slot crew decides where a slot's run begins
// (it asks the plan and calls setPack()); the slot owns the
// connection, the requests and the protocol, and hands the body bytes to the
// store loop of TransferSlot, which walks the packs of the run.
//
// Requests. A run travels as bounded range requests sent one after another on
// the kept-open connection, the next one sent while the current one is still
// arriving, so that no round trip sits idle. The slot keeps about a second of
// its own speed requested ahead, in requests of whole packs (two seconds'
// worth while much is left, smaller towards the end), and tells the crew
// which packs its requests cover (packsRequested()): another slot taking part
// of the run only ever takes packs nobody has asked for, so a request in
// flight is never cut and the server sends each byte once.
//
// No wrong byte is stored: body bytes are written only after the whole response
// header arrived, and only when the reply starts at the byte asked for (206 with
// a Content-Range starting there, or 200 for a request starting at byte 0).
// Every ranged request carries If-Range with the validator the probe saw, so a
// file replaced on the server comes back whole (200) instead of mixing.
//
// Failures are of three kinds:
// - network: a refused, reset, dropped or silent (stallTimeout()) connection, a
//   5xx or a reply that does not fit. The connection is reopened and the run
//   continues from its first missing byte after 1, 2, 4 ... seconds; after five
//   failed attempts in a row the slot gives up (gaveUp()). An attempt that
//   brought a full pack or 64 KiB starts the count afresh. A kept-open
//   connection that the server closed between two requests is simply reopened.
//   On a server without byte ranges the one pack starts again from byte 0.
// - local: the work file cannot be written (disk full, read-only or
//   vanished folder): writeFailed(), nothing retried.
// - the server's file changed or went away (another size, another validator,
//   404, 410, 416): fileChanged(), nothing more written.
class HttpSlot : public TransferSlot
{
    Q_OBJECT
public:
    // number: 1..4. socket: the slot's socket (Winsock1..4), owned by the caller.
    HttpSlot(int number, Winsock *socket, QObject *parent = nullptr);
    ~HttpSlot() override;

    Winsock *socket() const override { return m_socket; }

    void setTarget(const QString &host, const QString &path) override;
    // What the probe saw of the file: its validator for If-Range, and whether
    // the server serves byte ranges at all. Without ranges every attempt asks
    // for the whole file and the one pack starts again from byte 0.
    void setValidators(const QByteArray &etag, const QByteArray &lastModified, bool ranges);
    // Lines the user added to every request (cookies, Referer...), in place
    // of the program's own of the same names.
    void setRequestHeaders(const RequestHeaders &headers);
    // HTTPS: the connections are TLS ones, to port 443 unless the host names one.
    void setTls(bool on);
    // The last byte of the probe's answer kept for this slot's file
    // (WarmConnections::keepAnswer), or -1: a slot whose run starts at byte 0
    // takes that answer as its first request.
    qint64 keptAnswerReach() const;

    // Tests shorten these; the program keeps the defaults.
    void setStallTimeout(int ms) override;
    int stallTimeout() const;

private:
    // Socket events.
    void onConnected();
    void onDataArrival();
    void onClosed();
    void onError(int number, const QString &description);
    void onStallTimeout();
    void retryNow() override;
    // Hands on the bytes still unread; false when handling them closed the
    // connection.
    bool takeLastBytes();
    // Takes over the probe's kept answer as the connection's first request;
    // false when none is kept for the file.
    bool takeProbeAnswer();
    // Reads the bytes the probe had already read of that answer.
    void handleProbeBytes();
    bool endedBetweenAnswers() const;

    // Feeds received bytes through the header and body handling.
    void handleBytes(const QByteArray &data);
    // Judges a complete response header. Refused replies count as a failed
    // attempt, or, for Changed, stop the slot.
    // Later: the server asked to be left alone for d->serverWait seconds;
    // Denied: it refuses the file to this request.
    enum class Verdict { Accept, Refuse, Changed, Later, Denied };
    Verdict acceptHeader(const QByteArray &header, QString *why);
    // Stores take body bytes of the response; false when the connection
    // ended over them (a pack file that cannot be written, bytes the slot
    // has no use for).
    bool storeBytes(const char *data, qint64 take);
    // Reads a chunked body (the framing of an answer whose length the server
    // did not know when it began): the chunks' bytes go to storeBytes().
    // Returns the bytes of data used, -1 when the connection ended.
    qint64 takeChunked(const char *data, qint64 size);
    // The speed of the slot, from the body bytes stored.
    void noteSpeed(qint64 bytes);
    void responseEnded();
    // Brings the connection in line with the pack in progress: keeps reading,
    // sends a request, opens a connection or closes it.
    void reconsider() override;
    void openConnection();
    // Sends range requests until enough is asked ahead; the first one of an
    // idle connection starts at the first missing byte.
    void fillPipeline();
    // False when no request could be built (the slot is halted then).
    bool sendRequest(qint64 first, qint64 last);
    // The connection waits for the answer to its first request in flight.
    void awaitAnswer();
    qint64 aheadTarget() const;
    qint64 nextStreamByte() const;
    void closeConnection();
    void closeConnections() override { closeConnection(); }
    void failAttempt();

    // Implementation state, see http_slot.cpp.
    struct Private;
    Private *d;
    Winsock *m_socket;
};
