#include "app/url_listener.h"

#include "core/winsock.h"

#include <QTimer>

namespace {
const QByteArray kPrefix = QByteArrayLiteral("--RVQ--");
}

UrlListener::UrlListener(QObject *parent)
    : QObject(parent)
    , Winsock_Listen(new Winsock(this))
    , Timer_Listen(new QTimer(this))
{
    Winsock_Listen->setObjectName(QStringLiteral("Winsock_Listen"));
    Timer_Listen->setObjectName(QStringLiteral("Timer_Listen"));
    Timer_Listen->setInterval(10000);
    connect(Winsock_Listen, &Winsock::ConnectionRequest, this, &UrlListener::onConnectionRequest);
    connect(Winsock_Listen, &Winsock::DataArrival, this, &UrlListener::onDataArrival);
    // A peer that leaves, with or without a message, and a failing
    // connection both bring the listener back.
    connect(Winsock_Listen, &Winsock::Closed, this, &UrlListener::relisten);
    // A failing connection is dropped; a listen that fails on its own (the
    // port taken meanwhile) is not retried in a loop.
    connect(Winsock_Listen, &Winsock::Error, this, [this](int, const QString &description) {
        if (Timer_Listen->isActive())
            relisten();
        else
            m_failure = description;
    });
    connect(Timer_Listen, &QTimer::timeout, this, &UrlListener::relisten);
}

bool UrlListener::open(quint16 port)
{
    m_port = port;
    m_failure.clear();
    Winsock_Listen->setLocalPort(port);
    Winsock_Listen->Listen();
    if (Winsock_Listen->State() != Winsock::sckListening) {
        // The port is taken, or below 1024 without the privilege: the program
        // goes on without the hand-off.
        m_failure = Winsock_Listen->ListenErrorText();
        Ferme_Connect(*Winsock_Listen);
        return false;
    }
    return true;
}

bool UrlListener::isListening() const
{
    return Winsock_Listen->State() == Winsock::sckListening;
}

void UrlListener::close()
{
    Timer_Listen->stop();
    Ferme_Connect(*Winsock_Listen);
}

void UrlListener::setSilenceTimeout(int ms)
{
    Timer_Listen->setInterval(ms);
}

void UrlListener::onConnectionRequest(int requestId)
{
    // One connection at a time: the listening socket becomes the connection.
    Ferme_Connect(*Winsock_Listen);
    Timer_Listen->start();
    Winsock_Listen->Accept(requestId);
}

void UrlListener::onDataArrival()
{
    const QByteArray message = Winsock_Listen->GetData();
    relisten();
    emit messageReceived();
    if (message.startsWith(kPrefix)) {
        const QString address = QString::fromUtf8(message.mid(kPrefix.size())).trimmed();
        if (!address.isEmpty())
            emit addressReceived(address);
    }
}

void UrlListener::relisten()
{
    Timer_Listen->stop();
    Ferme_Connect(*Winsock_Listen);
    Winsock_Listen->setLocalPort(m_port);
    Winsock_Listen->Listen();
}
