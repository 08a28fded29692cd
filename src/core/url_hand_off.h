#pragma once
#include <QByteArray>
#include <QString>

// The address hand-off between processes of one user: UrlPass, the browser's
// native host and a second start of the program send to the running program
// over a local socket in a folder only that user can enter. One message per
// connection: "--RVQ--" + address (or ShowRequest), then, one per line, the
// request header lines the address needs (the browser's cookies, referrer and
// user agent). The program answers Ack once it has taken the message, and only
// then does the sender report it delivered. A message that starts with
// ProbePrefix instead asks for more: after Ack, the program answers Probed
// once its probe of the address succeeded, or Refused and a reason, and then
// hangs up; the browser gives up its own download only on Probed.
class UrlHandOff
{
public:
    static const QByteArray Prefix;        // "--RVQ--", before the address
    static const QByteArray ProbePrefix;   // "--RVQ-PROBE--": the sender waits for the probe
    static const QByteArray ShowRequest;   // "--SHOW--": bring the window to the front
    static const QByteArray Ack;           // the program's answer to a message it took
    static const QByteArray Probed;        // "--PROBED--": the address's probe succeeded
    static const QByteArray Refused;       // "--REFUSED--" + reason: not taken, or its probe failed

    // How a hand-off ended for the sender.
    enum class Outcome {
        Taken,        // acknowledged (and, when asked, probed)
        Refused,      // the program answered, and did not take it or could not probe it
        Unreachable,  // nobody answered: not running, or gone before it answered
        Late,         // taken, but the probe's outcome did not come in time
    };

    // The user's own folder for the socket: $XDG_RUNTIME_DIR when it belongs
    // to the user and is closed to everyone else, otherwise
    // <cache folder>/zov-kestra-download, made with mode 0700. Empty, with the
    // reason in failure, when neither can be had.
    static QString folder(QString *failure = nullptr);
    // The socket's path in folder(), named after the application; empty when
    // there is no folder.
    static QString socketPath(QString *failure = nullptr);
    // The loopback TCP port the program also listens on: the setting
    // "ListenPort" when it names a port, 0 (no TCP listener) otherwise.
    static quint16 configuredPort();

    // Delivers address; true once the program acknowledged it. A program not
    // running yet (no socket, or no one behind it) is tried again until
    // timeoutMs has passed. False with a one-line reason otherwise.
    static bool send(const QString &address, int timeoutMs, QString *failure);
    // The same with header lines ("Name: value" joined by LF) for the
    // address; with probeMs > 0 the program's probe outcome is awaited that
    // much longer after the acknowledgement. why says what went wrong.
    static Outcome send(const QString &address, const QByteArray &headerLines, int timeoutMs, int probeMs,
                        QString *why);
    // Asks the running program to show its window; the same contract.
    static bool requestShow(int timeoutMs, QString *failure);

private:
    static Outcome deliver(const QByteArray &message, int timeoutMs, int probeMs, QString *failure);
};
