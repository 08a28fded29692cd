#pragma once
#include <QByteArray>
#include <QString>

// The address hand-off between processes of one user: UrlPass, the browser's
// native host and a second start of the program send to the running program
// over a local socket in a folder only that user can enter. One message per
// connection, "--RVQ--" + address (or ShowRequest); the program answers Ack
// once it has taken the message, and only then does the sender report it
// delivered.
class UrlHandOff
{
public:
    static const QByteArray Prefix;        // "--RVQ--", before the address
    static const QByteArray ShowRequest;   // "--SHOW--": bring the window to the front
    static const QByteArray Ack;           // the program's answer to a message it took

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
    // Asks the running program to show its window; the same contract.
    static bool requestShow(int timeoutMs, QString *failure);

private:
    static bool deliver(const QByteArray &message, int timeoutMs, QString *failure);
};
