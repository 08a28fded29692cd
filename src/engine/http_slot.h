#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class PackFile;
class PackPlan;
class QTimer;
class Winsock;

// One HTTP transfer lane. The slot fetches its run of packs (consecutive packs
// of the plan) over a connection it keeps open, and writes the arriving body
// bytes into each pack file in turn.
//
// Division of work. The download manager decides which pack a slot fetches
// (Demande_Paquet: it asks the plan and calls setPack()); the slot owns the
// connection, the requests and the bytes. Whenever the current pack is complete
// the slot emits packCompleted() synchronously; the manager registers the pack,
// moves the plan on and calls setPack() again (the next pack of the run) or
// setIdle(). The bytes go on into the new pack when it starts exactly at the
// next byte of the stream.
//
// Requests. A run travels as bounded range requests sent one after another on
// the kept-open connection, the next one sent while the current one is still
// arriving, so that no round trip sits idle. The slot keeps about a second of
// its own speed requested ahead, in requests of whole packs (two seconds'
// worth while much is left, smaller towards the end), and tells the plan which
// packs its requests cover: another slot taking part of the run only ever takes
// packs nobody has asked for, so a request in flight is never cut and the
// server sends each byte once.
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
// - local: a pack file cannot be opened or written (disk full, read-only or
//   vanished folder): writeFailed(), nothing retried.
// - the server's file changed or went away (another size, another validator,
//   404, 410, 416): fileChanged(), nothing more written.
class HttpSlot : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxFailedAttempts = 5;
    static constexpr int DefaultStallTimeout = 30000;
    static constexpr int DefaultRetryDelay = 1000;

    // number: 1..4. socket: the slot's socket (Winsock1..4), owned by the caller.
    HttpSlot(int number, Winsock *socket, QObject *parent = nullptr);
    ~HttpSlot() override;

    int number() const { return m_number; }
    Winsock *socket() const { return m_socket; }

    // Where the file is: host text (may end in ":port") and path. The plan the
    // manager keeps; the pack file of pack k (full path).
    void setTarget(const QString &host, const QString &path);
    // What the probe saw of the file: its validator for If-Range, and whether
    // the server serves byte ranges at all. Without ranges every attempt asks
    // for the whole file and the one pack starts again from byte 0.
    void setValidators(const QByteArray &etag, const QByteArray &lastModified, bool ranges);
    void setPlan(PackPlan *plan);
    void setPackFilePath(std::function<QString(qint64 pack)> path);

    // The pack in progress, set by the manager's Demande_Paquet. stored = bytes
    // already in its pack file. When the slot is mid-response and the pack
    // starts at the next byte of the stream, the bytes simply go on; otherwise
    // the slot sends a new request (on the kept-open connection, or a new one)
    // from the pack's first missing byte to plan->runLastByte(number()).
    void setPack(qint64 number, qint64 start, qint64 size, qint64 stored);
    // No pack for this slot: the connection is closed unless it sits idle between
    // requests, in which case it may be kept for a later run.
    void setIdle();
    // The slot's run end moved down (another slot took its upper part). The
    // plan only ever takes packs the slot has not asked for, so nothing in
    // flight is affected; the slot simply asks for less from now on.
    void runShortened();
    // Pause: closes the connection and the pack file; the pack variables stay.
    void stop();
    // Error count reset (a resume after a pause starts afresh).
    void resetFailures();

    bool isBusy() const { return Paquet_Taille > 0; }

    // The pack in progress, as the display and the completion test read it.
    qint64 Paquet_Taille = 0;   // size of the pack, 0 = idle
    qint64 Paquet_Recu = 0;     // next write position in the pack file, 1-based; 0 when idle
    qint64 Paquet_Debut = 0;    // offset of the pack in the file
    qint64 Paquet_Numero = -1;  // number of the pack
    bool Entete_Lu = false;     // the current response's header has been handled
    QByteArray Txt_Sended;      // the last request sent
    QByteArray Txt_Recu;        // the last response header received

    // Tests shorten these; the program keeps the defaults.
    void setStallTimeout(int ms);
    void setRetryDelay(int ms);
    int stallTimeout() const;
    int failedAttempts() const { return m_failures; }
    int requestsSent() const { return m_requests; }
    int connectionsOpened() const { return m_connections; }
    // Failed attempts since the slot was made (failedAttempts() counts the ones
    // in a row only).
    int failuresTotal() const { return m_failuresTotal; }
    // An attempt that brought at least this much starts the failure count afresh.
    static constexpr qint64 MeaningfulAttempt = 64 * 1024;

signals:
    // "Sending request...", "Downloading (500.00 Kb)..."
    void statusChanged(int slot, const QString &text);
    // The first body bytes of a response arrived (the manager starts its clocks).
    void dataStarted(int slot);
    // count body bytes were written into pack files.
    void bytesStored(int slot, qint64 count);
    // The current pack's bytes are all stored and its file is closed.
    void packCompleted(int slot, qint64 pack, qint64 size, const QString &packFile);
    // Host not found (11001) or connection aborted (10053): the manager tells the
    // user and pauses.
    void connectionError(int slot, int number, const QString &description);
    // Five failed attempts in a row: the manager tells the user and pauses.
    void gaveUp(int slot);
    // A pack file could not be opened or written; reason is the system's.
    void writeFailed(int slot, const QString &file, const QString &reason);
    // The server's file is not the one the download started with.
    void fileChanged(int slot, const QString &reason);
    // The pack in progress starts again from its first byte (a server without
    // ranges cannot continue it): its stored bytes no longer count.
    void packRestarted(int slot);

private:
    // Socket events.
    void onConnected();
    void onDataArrival();
    void onClosed();
    void onError(int number, const QString &description);
    void onStallTimeout();
    void onRetryTimeout();
    // Hands on the bytes still unread; false when handling them already
    // replaced or closed the connection.
    bool takeLastBytes();
    bool endedBetweenAnswers() const;

    // Feeds received bytes through the header and body handling.
    void handleBytes(const QByteArray &data);
    // Judges a complete response header. Refused replies count as a failed
    // attempt, or, for Changed, stop the slot.
    enum class Verdict { Accept, Refuse, Changed };
    Verdict acceptHeader(const QByteArray &header, QString *why);
    // Stores body bytes whose stream offset starts at the next byte wanted;
    // returns how many were taken (fewer than size: the rest is not wanted),
    // or -1 when the attempt failed or the slot was stopped meanwhile.
    qint64 storeBody(const char *data, qint64 size);
    void responseEnded();
    void completePack();
    // Brings the connection in line with the pack in progress: keeps reading,
    // sends a request, opens a connection or closes it.
    void reconsider();
    void openConnection();
    // Sends range requests until enough is asked ahead; the first one of an
    // idle connection starts at the first missing byte.
    void fillPipeline();
    void sendRequest(qint64 first, qint64 last);
    qint64 aheadTarget() const;
    qint64 nextStreamByte() const;
    void writeFailure(const QString &reason);
    void closeConnection();
    void failAttempt();
    bool wantsBytes() const;
    qint64 firstMissingByte() const;

    // Implementation state, see http_slot.cpp.
    struct Private;
    Private *d;
    int m_number;
    Winsock *m_socket;
    int m_failures = 0;
    int m_failuresTotal = 0;
    int m_requests = 0;
    int m_connections = 0;
};
