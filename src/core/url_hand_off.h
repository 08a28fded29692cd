#pragma once
#include <QString>

// The sending side of the address hand-off: one connection to the running
// program's listener on the loopback interface, one message "--RVQ--" + address.
class UrlHandOff
{
public:
    static constexpr quint16 DefaultPort = 9980;
    // The listener's port: the program's setting "ListenPort", or DefaultPort
    // when it is missing or not a port number.
    static quint16 configuredPort();
    // Delivers address to the listener on port. Returns false with a one-line
    // reason when nothing takes it within timeoutMs. A listener busy with
    // another connection refuses for a moment; the attempt is repeated until the
    // time is up.
    static bool send(const QString &address, quint16 port, int timeoutMs, QString *failure);
};
