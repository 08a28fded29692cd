#pragma once
#include <QHash>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// A loopback TCP relay in front of a real server, that cuts chosen connections:
// the connection numbered k (0, 1, ... in accept order) listed in cuts is
// dropped once that many bytes went from the server to the client. Everything
// else is passed on untouched.
class TcpRelay : public QObject
{
    Q_OBJECT
public:
    explicit TcpRelay(quint16 targetPort, QObject *parent = nullptr);
    bool start();
    quint16 port() const { return m_server.serverPort(); }
    QHash<int, qint64> cuts;
    int connections() const { return m_count; }

private:
    void onNewConnection();

    QTcpServer m_server;
    quint16 m_target;
    int m_count = 0;
};
