#pragma once
#include <QByteArray>
#include <QString>

class Winsock;

// Connections to a file's server made before its download needs them: while
// the probe asks about the file (zov-kestra-get) or while the user reads the
// new project's dialog, the slots' connections are opened (name looked up,
// TCP and TLS handshakes done), so that each slot's first request goes out at
// once instead of a round trip or two later. A connection nobody takes within
// KeepMs is closed; one the server closed meanwhile is simply not given.
//
// The probe's own answer is kept the same way: its request asked for the
// file's first bytes only (UrlProbe::FirstAnswerBytes), so the bytes on their
// way are exactly the first request slot 1 would send, and slot 1 takes the
// connection with them instead of asking again. Everything runs on the
// event-loop thread.
class WarmConnections
{
public:
    static constexpr int KeepMs = 10000;
    // Opens count connections to the server of address (http:// or
    // https://, or without a scheme as a project keeps it; anything else
    // opens nothing), after closing those opened for any other.
    static void open(const QString &address, int count);
    // A connection to host (as the slots name it: no login, may end in
    // ":port") over TLS or not, open or being opened, or nullptr. The caller
    // takes it over with Winsock::adopt() and deletes it.
    static Winsock *take(const QString &host, bool tls);

    // The probe's answer for the file at address (as a project keeps it): the
    // connection it came on, the bytes read from it so far (the response
    // header and the body's start), and the request it answers (bytes 0 to
    // last; ranged: a range request, else the whole file).
    struct Answer
    {
        Winsock *socket = nullptr;
        QByteArray received;
        qint64 last = -1;
        bool ranged = true;
    };
    // Keeps the probe's connection (taken over from probe) with what it
    // brought, in place of anything kept for another server.
    static void keepAnswer(const QString &address, Winsock &probe, const QByteArray &received,
                           qint64 last, bool ranged);
    // The last byte the kept answer for host, path reaches, or -1 when none is kept.
    static qint64 answerReach(const QString &host, const QString &path, bool tls);
    // Hands the kept answer for host, path over (the caller adopts and deletes
    // its socket); false when none is kept or its connection failed. A null
    // socket: the server closed the connection, and received is all it sent.
    static bool takeAnswer(const QString &host, const QString &path, bool tls, Answer *answer);
    static void closeAll();
};
