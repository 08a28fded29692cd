#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include "core/winsock.h"

namespace {

QByteArray allByteValues()
{
    QByteArray b;
    for (int i = 0; i < 256; ++i)
        b.append(char(i));
    return b;
}

// A port on loopback that nothing listens on: bound once, then released.
quint16 closedPort()
{
    QTcpServer s;
    return s.listen(QHostAddress::LocalHost, 0) ? s.serverPort() : 0;
}

// Reads until `size` bytes are collected.
template <typename Read>
QByteArray collect(Read read, int size)
{
    QByteArray got;
    (void)QTest::qWaitFor([&]() { return (got += read()).size() >= size; }, 10000);
    return got;
}

} // namespace

class TestWinsock : public QObject
{
    Q_OBJECT

private slots:
    void splitHostPort()
    {
        // The text, then the host and port it gives when the caller names port 21.
        for (const QStringList &c : QList<QStringList>{
                 {"example.com", "example.com", "21"}, {"example.com:80", "example.com", "80"},
                 {"host:abc", "host:abc", "21"}, {"host:0", "host:0", "21"}, {"host:65536", "host:65536", "21"},
                 {"[::1]:8080", "::1", "8080"}, {"fe80::1:2", "fe80::1:2", "21"}}) {
            QString host;
            quint16 port = 0;
            Winsock::splitHostPort(c[0], 21, &host, &port);
            QCOMPARE(QStringList({c[0], host, QString::number(port)}).join(u' '), c.join(u' '));
        }
    }

    // "host:PORT" wins over the caller's port; bytes sent before Connected go out
    // once connected; on the peer's close every byte comes first, then Closed.
    void connectExchangeAndPeerClose()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Winsock w;
        QSignalSpy connected(&w, &Winsock::Connected);
        QSignalSpy closed(&w, &Winsock::Closed);
        QSignalSpy errors(&w, &Winsock::Error);
        QByteArray got;
        int closedAfter = -1;
        connect(&w, &Winsock::DataArrival, this, [&](qint64 total) {
            QVERIFY(total > 0);
            got += w.GetData();
        });
        connect(&w, &Winsock::Closed, this, [&]() { closedAfter = int(got.size()); });
        w.Connect(QStringLiteral("127.0.0.1:%1").arg(server.serverPort()), closedPort());
        QCOMPARE(w.State(), int(Winsock::sckConnecting));
        w.SendData("early\r\n");
        QTRY_COMPARE(connected.count(), 1);
        QCOMPARE(w.State(), int(Winsock::sckConnected));
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *peer = server.nextPendingConnection();
        QCOMPARE(w.LocalIP(), QStringLiteral("127.0.0.1"));
        QCOMPARE(w.LocalPort(), peer->peerPort());
        QCOMPARE(w.RemoteHost(), QStringLiteral("127.0.0.1"));
        w.SendData(allByteValues());
        QCOMPARE(collect([&]() { return peer->readAll(); }, 7 + 256), "early\r\n" + allByteValues());

        const QByteArray body = allByteValues().repeated(200);
        peer->write(body);
        peer->disconnectFromHost();
        QTRY_COMPARE(closed.count(), 1);
        QCOMPARE(closedAfter, int(body.size()));
        QCOMPARE(got, body);
        QCOMPARE(w.State(), int(Winsock::sckClosing));
        w.Close();
        QCOMPARE(w.State(), int(Winsock::sckClosed));
        Ferme_Connect(w);
        QCOMPARE(w.State(), int(Winsock::sckClosed));
        QTest::qWait(50);
        QCOMPARE(closed.count(), 1); // our own closes raise nothing
        QCOMPARE(errors.count(), 0);
    }

    // A listener on a system-chosen port hands each connection to another object;
    // a second listener on that port fails from the event loop, not inside Listen.
    void listenAndAccept()
    {
        Winsock listener, taken;
        listener.setLocalPort(0);
        listener.Listen();
        QCOMPARE(listener.State(), int(Winsock::sckListening));
        const quint16 port = listener.LocalPort();
        QVERIFY(port != 0);
        QCOMPARE(listener.LocalIP(), QStringLiteral("127.0.0.1"));
        QSignalSpy takenErrors(&taken, &Winsock::Error);
        taken.setLocalPort(port);
        taken.Listen();
        QCOMPARE(taken.State(), int(Winsock::sckError));
        QCOMPARE(takenErrors.count(), 0);
        QTRY_COMPARE(takenErrors.count(), 1);
        QCOMPARE(takenErrors.first().at(0).toInt(), int(Winsock::sckAddressInUse));
        Ferme_Connect(taken);
        QCOMPARE(taken.LocalPort(), quint16(0));

        QSignalSpy requests(&listener, &Winsock::ConnectionRequest);
        QTcpSocket client1, client2;
        client1.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(requests.count(), 1);
        client2.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(requests.count(), 2);
        Winsock conn1, conn2;
        conn2.Accept(requests.at(1).at(0).toInt());
        conn1.Accept(requests.at(0).at(0).toInt());
        QCOMPARE(conn1.State(), int(Winsock::sckConnected));
        client1.write(allByteValues());
        QCOMPARE(collect([&]() { return conn1.GetData(); }, 256), allByteValues());
        conn2.SendData("to client 2");
        QCOMPARE(collect([&]() { return client2.readAll(); }, 11), QByteArray("to client 2"));

        // A request id is taken once.
        taken.Accept(requests.at(0).at(0).toInt());
        QCOMPARE(taken.State(), int(Winsock::sckError));
        QTRY_COMPARE(takenErrors.count(), 2);
    }

    // The hand-off pattern: the client writes and leaves at once; the listener
    // closes itself and accepts on the same object from its request handler,
    // and still gets every byte, then the peer's close.
    void acceptOnListenerAfterPeerLeft()
    {
        Winsock w;
        w.Listen();
        QSignalSpy arrival(&w, &Winsock::DataArrival);
        QSignalSpy closed(&w, &Winsock::Closed);
        QList<int> statesAtAccept;
        QTcpSocket client;
        connect(&w, &Winsock::ConnectionRequest, this, [&](int id) {
            QVERIFY(QTest::qWaitFor([&]() { return client.state() == QAbstractSocket::UnconnectedState; }));
            QTest::qWait(100); // the client's bytes and close reach the pending connection
            Ferme_Connect(w);
            w.Accept(id);
            statesAtAccept << w.State();
        });
        client.connectToHost(QHostAddress::LocalHost, w.LocalPort());
        QVERIFY(client.waitForConnected(5000));
        client.write("--RVQ--http://127.0.0.1/file.zip");
        client.disconnectFromHost();
        QTRY_COMPARE(closed.count(), 1);
        QCOMPARE(statesAtAccept, QList<int>{Winsock::sckClosing});
        QVERIFY(arrival.count() >= 1);
        QCOMPARE(w.GetData(), QByteArray("--RVQ--http://127.0.0.1/file.zip"));
    }

    // Host not found comes from the event loop, with its number and a text. A
    // socket closed while still resolving or connecting is closed at once, and its
    // abandoned attempt raises nothing and reaches no server.
    void hostNotFoundAndAbandonedAttempts()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Winsock unknown, resolving, connecting;
        QSignalSpy errors(&unknown, &Winsock::Error);
        QSignalSpy resolvingErrors(&resolving, &Winsock::Error);
        QSignalSpy connectingEvents(&connecting, &Winsock::Connected);
        unknown.Connect(QStringLiteral("nohost.invalid:80"), 21);
        resolving.Connect(QStringLiteral("nohost.invalid"), 80);
        connecting.Connect(QStringLiteral("127.0.0.1"), server.serverPort());
        QCOMPARE(resolving.State(), int(Winsock::sckResolvingHost));
        Ferme_Connect(resolving);
        Ferme_Connect(connecting);
        QCOMPARE(resolving.State(), int(Winsock::sckClosed));
        QCOMPARE(connecting.State(), int(Winsock::sckClosed));
        QCOMPARE(errors.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 60000);
        QCOMPARE(errors.first().at(0).toInt(), int(Winsock::sckHostNotFound));
        QVERIFY(!errors.first().at(1).toString().isEmpty());
        QCOMPARE(unknown.State(), int(Winsock::sckError));
        Ferme_Connect(unknown);
        QCOMPARE(unknown.State(), int(Winsock::sckClosed));
        QTest::qWait(300);
        QCOMPARE(resolvingErrors.count() + connectingEvents.count(), 0);
        QVERIFY(!server.hasPendingConnections());
    }

    // Handlers close the socket from inside its own events and reuse the object:
    // the new attempt goes to a port nothing listens on and is refused.
    void reconnectFromHandlers()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Winsock w;
        int arrivals = 0;
        QList<int> errors; // number, State at the time, text present
        connect(&w, &Winsock::DataArrival, this, [&]() {
            ++arrivals;
            Ferme_Connect(w);
            w.Connect(QStringLiteral("127.0.0.1"), closedPort());
        });
        connect(&w, &Winsock::Error, this, [&](int number, const QString &text) {
            errors << number << w.State() << int(!text.isEmpty());
            Ferme_Connect(w);
        });
        w.Connect(QStringLiteral("127.0.0.1"), server.serverPort());
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *peer = server.nextPendingConnection();
        QTRY_COMPARE(w.State(), int(Winsock::sckConnected));
        peer->write("one");
        QTRY_COMPARE(errors, (QList<int>{Winsock::sckConnectionRefused, Winsock::sckError, 1}));
        QCOMPARE(arrivals, 1);
        QCOMPARE(w.State(), int(Winsock::sckClosed));
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
    }
};

QTEST_GUILESS_MAIN(TestWinsock)
#include "test_winsock.moc"
