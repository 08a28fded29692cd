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
// of the plan) over one ranged request on a connection it keeps open for its
// next run when the server allows it, and writes the arriving body bytes into
// each pack file in turn.
//
// Division of work. The download manager decides which pack a slot fetches
// (Demande_Paquet: it asks the plan and calls setPack()); the slot owns the
// connection, the request and the bytes. Whenever the current pack is complete
// the slot emits packCompleted() synchronously; the manager registers the pack,
// moves the plan on and calls setPack() again (the next pack of the run) or
// setIdle(). The slot then carries on with the rest of the same chunk: the bytes
// go on into the new pack when it starts exactly at the next byte of the stream;
// otherwise (run over, or cut short by another slot taking its upper part) the
// slot stops reading this response and, when it was given a pack, asks for it
// with a new request.
//
// No wrong byte is stored: body bytes are written only after the whole response
// header arrived, and only when the reply starts at the byte asked for (206 with
// a Content-Range starting there, or 200 for a request starting at byte 0).
// Anything else writes nothing and counts as a failed attempt. A connection that
// drops or brings nothing for stallTimeout() is reopened and the run continues
// from its first missing byte after 1, 2, 4 ... seconds; after five failed
// attempts in a row the slot gives up (gaveUp()). A kept-open connection that
// the server closed between two requests is simply reopened.
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
    // The slot's run end moved down (another slot took its upper part): the
    // response in flight may carry bytes beyond the new end; they are dropped and
    // the connection is closed when the current pack is complete.
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

    // Feeds received bytes through the header and body handling.
    void handleBytes(const QByteArray &data);
    // Judges a complete response header; false: the reply is refused.
    bool acceptHeader(const QByteArray &header);
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
    void sendRequest();
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
