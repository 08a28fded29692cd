#pragma once
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

#include "projects/request_headers.h"

class QIODevice;
class QLocalServer;
class QTcpServer;

// An address handed over, with the header lines its requests need.
struct HandedOver
{
    QString address;
    RequestHeaders headers;
    // Not 0: the sender waits for the probe's outcome, told with
    // UrlListener::answerProbe().
    quint64 ticket = 0;
};

// The listener that takes addresses handed over by UrlPass, the browser's
// native host and a second start of the program: a local socket in the user's
// own folder (UrlHandOff::socketPath), and, when the setting "ListenPort" names
// a port, a TCP listener on the loopback interface as well. Each connection
// brings one message (UrlHandOff), an address with its header lines or the show
// request, and is answered UrlHandOff::Ack once the message is taken; one whose
// sender waits for the probe stays open until answerProbe(). Connections are
// served side by side: one that stays silent is dropped after its own timeout
// and holds up nobody else.
class UrlListener : public QObject
{
    Q_OBJECT
public:
    explicit UrlListener(QObject *parent = nullptr);
    ~UrlListener() override;

    // Opens the local socket at socketPath (a dead one left by a crash is
    // replaced, a live one is not) and, when port is not 0, the TCP listener.
    // False when one of them cannot be opened; failure() says which and why.
    bool open(const QString &socketPath, quint16 port);
    bool isListening() const;
    // Stops listening and drops the connections in progress.
    void close();
    QString socketPath() const;
    quint16 port() const;
    QString failure() const { return m_failure; }
    // How long a connection may stay silent (tests shorten it).
    void setSilenceTimeout(int ms) { m_silenceMs = ms; }
    // The sender of ticket still waits for its probe's outcome.
    bool isWaiting(quint64 ticket) const;
    // Tells the waiting sender of ticket how the probe ended (why: the
    // reason of a failure) and hangs up. False when the sender has gone.
    bool answerProbe(quint64 ticket, bool probed, const QString &why = QString());

signals:
    // A connection brought data (a message or not): the window shows its
    // projects.
    void messageReceived();
    // The message carried an address.
    void addressReceived(const HandedOver &handOff);
    // A second start without an address asks for the window.
    void showRequested();

private:
    void serve(QIODevice *peer);
    // Acts on a message; true when its sender waits for the probe.
    bool take(QIODevice *peer, const QByteArray &message);

    QLocalServer *m_local;
    QTcpServer *m_tcp;
    QString m_failure;
    int m_silenceMs = 10000;
    int m_open = 0;   // connections being served
    QHash<quint64, QPointer<QIODevice>> m_waiting;   // ticket -> sender waiting for its probe
    quint64 m_lastTicket = 0;
};
