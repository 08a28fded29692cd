#include "support/tcp_relay.h"

#include <QTcpSocket>

TcpRelay::TcpRelay(quint16 targetPort, QObject *parent) : QObject(parent), m_target(targetPort)
{
    connect(&m_server, &QTcpServer::newConnection, this, &TcpRelay::onNewConnection);
}

bool TcpRelay::start()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

void TcpRelay::onNewConnection()
{
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        const int index = m_count++;
        auto *upstream = new QTcpSocket(client);
        const qint64 cut = cuts.value(index, -1);
        auto *down = new qint64(0);
        connect(client, &QObject::destroyed, [down] { delete down; });
        connect(client, &QTcpSocket::readyRead, upstream, [client, upstream] {
            if (upstream->state() == QAbstractSocket::ConnectedState)
                upstream->write(client->readAll());
        });
        connect(upstream, &QTcpSocket::connected, upstream, [client, upstream] { upstream->write(client->readAll()); });
        connect(upstream, &QTcpSocket::readyRead, client, [client, upstream, cut, down] {
            QByteArray bytes = upstream->readAll();
            if (cut >= 0 && *down + bytes.size() >= cut) {
                client->write(bytes.left(cut - *down));
                client->flush();
                upstream->abort();
                client->abort();
                client->deleteLater();
                return;
            }
            *down += bytes.size();
            client->write(bytes);
        });
        connect(client, &QTcpSocket::disconnected, client, [client, upstream] {
            upstream->abort();
            client->deleteLater();
        });
        connect(upstream, &QTcpSocket::disconnected, client, [client] { client->disconnectFromHost(); });
        upstream->connectToHost(QHostAddress::LocalHost, m_target);
    }
}
