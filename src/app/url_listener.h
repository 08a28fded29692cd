#pragma once
#include <QObject>
#include <QString>

class QTimer;
class Winsock;

// The local listener that takes addresses handed over by UrlPass (and by a
// second start of the program with an address). It listens on the loopback
// interface only, takes one connection at a time, and uses the first block of
// data of that connection: "--RVQ--" followed by the address. A connection that
// sends nothing is dropped after ten seconds; whatever happens to a connection,
// the listener listens again afterwards.
class UrlListener : public QObject
{
    Q_OBJECT
public:
    explicit UrlListener(QObject *parent = nullptr);

    // Starts listening on port. False when the port cannot be opened; the
    // reason (in the system's words) is in failure().
    bool open(quint16 port);
    bool isListening() const;
    // Stops listening and drops a connection in progress (the program closes).
    void close();
    quint16 port() const { return m_port; }
    QString failure() const { return m_failure; }
    // How long an accepted connection may stay silent (tests shorten it).
    void setSilenceTimeout(int ms);

    // The names the rest of the program knows these by.
    Winsock *Winsock_Listen;
    QTimer *Timer_Listen;

signals:
    // A connection brought data (a message or not): the window shows its
    // projects.
    void messageReceived();
    // The message carried an address.
    void addressReceived(const QString &address);

private:
    void onConnectionRequest(int requestId);
    void onDataArrival();
    // Ends the current connection, if any, and listens again.
    void relisten();

    quint16 m_port = 0;
    QString m_failure;
};
