#pragma once
#include <QString>

class Winsock;

// Connections to a file's server made before its download needs them: while
// the probe asks about the file (zov-kestra-get) or while the user reads the
// new project's dialog, the slots' connections are opened (name looked up,
// TCP and TLS handshakes done), so that each slot's first request goes out at
// once instead of a round trip or two later. A connection nobody takes within
// KeepMs is closed; one the server closed meanwhile is simply not given.
// Everything runs on the event-loop thread.
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
    static void closeAll();
};
