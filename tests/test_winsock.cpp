#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "app/winsock.h"

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
    if (!s.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = s.serverPort();
    s.close();
    return port;
}

// Reads from the Winsock on each DataArrival until `size` bytes are collected.
QByteArray collect(Winsock &w, int size)
{
    QByteArray got;
    (void)QTest::qWaitFor([&]() {
        got += w.GetData();
        return got.size() >= size;
    }, 10000);
    return got;
}

} // namespace

class TestWinsock : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("ZOV_KESTRA_HOME", m_home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
    }

    void splitHostPort_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("name") << "example.com" << "example.com" << 21;
        QTest::newRow("name:port") << "example.com:80" << "example.com" << 80;
        QTest::newRow("name:8080") << "h:8080" << "h" << 8080;
        QTest::newRow("empty port") << "host:" << "host" << 21;
        QTest::newRow("letters") << "host:abc" << "host:abc" << 21;
        QTest::newRow("port 0") << "host:0" << "host:0" << 21;
        QTest::newRow("too big") << "host:65536" << "host:65536" << 21;
        QTest::newRow("dotted:port") << "127.0.0.1:9000" << "127.0.0.1" << 9000;
        QTest::newRow("bracketed v6:port") << "[::1]:8080" << "::1" << 8080;
        QTest::newRow("bracketed v6") << "[::1]" << "::1" << 21;
        QTest::newRow("plain v6") << "::1" << "::1" << 21;
        QTest::newRow("plain v6 long") << "fe80::1:2" << "fe80::1:2" << 21;
    }

    void splitHostPort()
    {
        QFETCH(QString, text);
        QFETCH(QString, host);
        QFETCH(int, port);
        QString gotHost;
        quint16 gotPort = 0;
        Winsock::splitHostPort(text, 21, &gotHost, &gotPort);
        QCOMPARE(gotHost, host);
        QCOMPARE(int(gotPort), port);
    }

    // Connect, then every byte value travels both ways unchanged.
    void connectAndExchangeBytes()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Winsock w;
        QSignalSpy connected(&w, &Winsock::Connected);
        QSignalSpy arrival(&w, &Winsock::DataArrival);
        QSignalSpy errors(&w, &Winsock::Error);

        w.Connect(QStringLiteral("127.0.0.1"), server.serverPort());
        QCOMPARE(w.State(), int(Winsock::sckConnecting));
        QVERIFY(w.socket());
        QTRY_COMPARE(connected.count(), 1);
        QCOMPARE(w.State(), int(Winsock::sckConnected));
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *peer = server.nextPendingConnection();

        QCOMPARE(w.LocalIP(), QStringLiteral("127.0.0.1"));
        QCOMPARE(w.LocalPort(), peer->peerPort());
        QCOMPARE(w.RemoteHost(), QStringLiteral("127.0.0.1"));

        const QByteArray bytes = allByteValues();
        w.SendData(bytes);
        QByteArray atPeer;
        QVERIFY(QTest::qWaitFor([&]() {
            atPeer += peer->readAll();
            return atPeer.size() >= bytes.size();
        }, 10000));
        QCOMPARE(atPeer, bytes);

        peer->write(bytes);
        QTRY_VERIFY(arrival.count() > 0);
        QVERIFY(arrival.first().at(0).toLongLong() > 0);
        QCOMPARE(collect(w, bytes.size()), bytes);
        QCOMPARE(w.BytesReceived(), qint64(0));
        QCOMPARE(errors.count(), 0);

        Ferme_Connect(w);
        QCOMPARE(w.State(), int(Winsock::sckClosed));
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
    }

    // "host:PORT" wins over the port the caller names, and bytes sent before
    // Connected go out once the connection is up.
    void portInHostTextAndEarlySend()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Winsock w;
        QSignalSpy connected(&w, &Winsock::Connected);
        w.Connect(QStringLiteral("127.0.0.1:%1").arg(server.serverPort()), closedPort());
        w.SendData("early\r\n");
        QTRY_COMPARE(connected.count(), 1);
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *peer = server.nextPendingConnection();
        QTRY_COMPARE(peer->bytesAvailable(), qint64(7));
        QCOMPARE(peer->readAll(), QByteArray("early\r\n"));
    }

    // A listener on a system-chosen port hands each connection to another object.
    void listenAndAccept()
    {
        Winsock listener;
        listener.setLocalPort(0);
        listener.Listen();
        QCOMPARE(listener.State(), int(Winsock::sckListening));
        const quint16 port = listener.LocalPort();
        QVERIFY(port != 0);
        QCOMPARE(listener.LocalIP(), QStringLiteral("127.0.0.1"));

        QSignalSpy requests(&listener, &Winsock::ConnectionRequest);
        QTcpSocket client1, client2;
        client1.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(requests.count(), 1);
        client2.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(requests.count(), 2);
        QCOMPARE(listener.State(), int(Winsock::sckListening));
        const int id1 = requests.at(0).at(0).toInt();
        const int id2 = requests.at(1).at(0).toInt();
        QVERIFY(id1 != id2);

        Winsock conn1, conn2;
        QSignalSpy arrival1(&conn1, &Winsock::DataArrival);
        conn2.Accept(id2);
        conn1.Accept(id1);
        QCOMPARE(conn1.State(), int(Winsock::sckConnected));
        QCOMPARE(conn2.State(), int(Winsock::sckConnected));
        QCOMPARE(conn1.RemoteHost(), QStringLiteral("127.0.0.1"));

        client1.write(allByteValues());
        QTRY_VERIFY(arrival1.count() > 0);
        QCOMPARE(collect(conn1, 256), allByteValues());
        conn2.SendData("to client 2");
        QTRY_COMPARE(client2.bytesAvailable(), qint64(11));
        QCOMPARE(client2.readAll(), QByteArray("to client 2"));
        QCOMPARE(client1.bytesAvailable(), qint64(0));

        // A request id is taken once.
        Winsock again;
        QSignalSpy againErrors(&again, &Winsock::Error);
        again.Accept(id1);
        QCOMPARE(again.State(), int(Winsock::sckError));
        QTRY_COMPARE(againErrors.count(), 1);
    }

    // The hand-off pattern: the client writes and leaves at once; the listener
    // closes itself and accepts on the same object from its request handler,
    // and still gets every byte, then the peer's close.
    void acceptOnListenerAfterPeerLeft()
    {
        Winsock w;
        w.Listen();
        const quint16 port = w.LocalPort();
        QSignalSpy arrival(&w, &Winsock::DataArrival);
        QSignalSpy closed(&w, &Winsock::Closed);
        int accepted = 0, stateAtAccept = -1;
        QTcpSocket client;
        connect(&w, &Winsock::ConnectionRequest, this, [&](int id) {
            // Let the client's bytes and close reach the pending connection first.
            QVERIFY(QTest::qWaitFor([&]() { return client.state() == QAbstractSocket::UnconnectedState; }));
            QTest::qWait(100);
            Ferme_Connect(w);
            w.Accept(id);
            stateAtAccept = w.State();
            ++accepted;
        });
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        client.write("--RVQ--http://127.0.0.1/file.zip");
        client.disconnectFromHost();
        QTRY_COMPARE(closed.count(), 1);
        QCOMPARE(accepted, 1);
        QCOMPARE(stateAtAccept, int(Winsock::sckClosing));
        QVERIFY(arrival.count() >= 1);
        QCOMPARE(w.GetData(), QByteArray("--RVQ--http://127.0.0.1/file.zip"));
        QCOMPARE(w.State(), int(Winsock::sckClosing));
        Ferme_Connect(w);
        QCOMPARE(w.State(), int(Winsock::sckClosed));
    }

    // The peer's close: every byte first, then Closed, State 8 until Close().
    void peerClose()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Winsock w;
        QSignalSpy closed(&w, &Winsock::Closed);
        QSignalSpy errors(&w, &Winsock::Error);
        QByteArray got;
        int closedAfter = -1;
        connect(&w, &Winsock::DataArrival, this, [&]() { got += w.GetData(); });
        connect(&w, &Winsock::Closed, this, [&]() { closedAfter = int(got.size()); });
        w.Connect(QStringLiteral("127.0.0.1"), server.serverPort());
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *peer = server.nextPendingConnection();
        QTRY_COMPARE(w.State(), int(Winsock::sckConnected));

        QByteArray body;
        for (int i = 0; i < 200; ++i)
            body += allByteValues();
        peer->write(body);
        peer->disconnectFromHost();
        QTRY_COMPARE(closed.count(), 1);
        QCOMPARE(closedAfter, int(body.size()));
        QCOMPARE(got, body);
        QCOMPARE(errors.count(), 0);
        QCOMPARE(w.State(), int(Winsock::sckClosing));

        w.Close();
        QCOMPARE(w.State(), int(Winsock::sckClosed));
        QTest::qWait(50);
        QCOMPARE(closed.count(), 1);  // our own close raises nothing
    }

    void connectErrors_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("usePort");
        QTest::addColumn<int>("number");
        QTest::newRow("host not found") << "nohost.invalid" << false << int(Winsock::sckHostNotFound);
        QTest::newRow("refused") << "127.0.0.1" << true << int(Winsock::sckConnectionRefused);
    }

    void connectErrors()
    {
        QFETCH(QString, host);
        QFETCH(bool, usePort);
        QFETCH(int, number);
        Winsock w;
        QSignalSpy errors(&w, &Winsock::Error);
        QSignalSpy connected(&w, &Winsock::Connected);
        w.Connect(host, usePort ? closedPort() : 80);
        QVERIFY(w.State() != int(Winsock::sckClosed));
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 60000);
        QCOMPARE(errors.first().at(0).toInt(), number);
        QVERIFY(!errors.first().at(1).toString().isEmpty());
        QCOMPARE(w.State(), int(Winsock::sckError));
        QCOMPARE(connected.count(), 0);
        Ferme_Connect(w);
        QCOMPARE(w.State(), int(Winsock::sckClosed));
    }

    void listenOnPortInUse()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
        Winsock w;
        QSignalSpy errors(&w, &Winsock::Error);
        w.setLocalPort(holder.serverPort());
        w.Listen();
        QCOMPARE(w.State(), int(Winsock::sckError));
        QCOMPARE(errors.count(), 0);  // reported from the event loop, not inside Listen
        QTRY_COMPARE(errors.count(), 1);
        QCOMPARE(errors.first().at(0).toInt(), int(Winsock::sckAddressInUse));
        Ferme_Connect(w);
        QCOMPARE(w.State(), int(Winsock::sckClosed));
        QCOMPARE(w.LocalPort(), quint16(0));
    }

    void fermeConnect()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));

        // Already closed: nothing is raised, nothing reaches a server.
        Winsock idle;
        QSignalSpy idleClosed(&idle, &Winsock::Closed);
        QSignalSpy idleErrors(&idle, &Winsock::Error);
        Ferme_Connect(idle);
        QCOMPARE(idle.State(), int(Winsock::sckClosed));
        QCOMPARE(QHostAddress(idle.LocalIP()).protocol(), QAbstractSocket::IPv4Protocol);

        // Still connecting (the name and the literal address): closed at once,
        // and the abandoned attempt raises nothing afterwards.
        Winsock resolving, connecting;
        QSignalSpy resolvingEvents(&resolving, &Winsock::Error);
        QSignalSpy connectingEvents(&connecting, &Winsock::Connected);
        resolving.Connect(QStringLiteral("nohost.invalid"), 80);
        connecting.Connect(QStringLiteral("127.0.0.1"), server.serverPort());
        QCOMPARE(resolving.State(), int(Winsock::sckResolvingHost));
        Ferme_Connect(resolving);
        Ferme_Connect(connecting);
        QCOMPARE(resolving.State(), int(Winsock::sckClosed));
        QCOMPARE(connecting.State(), int(Winsock::sckClosed));
        QTest::qWait(300);
        QCOMPARE(resolvingEvents.count(), 0);
        QCOMPARE(connectingEvents.count(), 0);
        QCOMPARE(idleClosed.count(), 0);
        QCOMPARE(idleErrors.count(), 0);
        QVERIFY(!server.hasPendingConnections());
    }

    // Handlers close the socket from inside its own events and reuse the object.
    void closeFromInsideHandlers()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Winsock w;
        int arrivals = 0, errors = 0;
        connect(&w, &Winsock::DataArrival, this, [&]() {
            ++arrivals;
            Ferme_Connect(w);
            w.Connect(QStringLiteral("127.0.0.1"), closedPort());
        });
        connect(&w, &Winsock::Error, this, [&]() {
            ++errors;
            Ferme_Connect(w);
        });
        w.Connect(QStringLiteral("127.0.0.1"), server.serverPort());
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *peer = server.nextPendingConnection();
        QTRY_COMPARE(w.State(), int(Winsock::sckConnected));
        peer->write("one");
        peer->flush();
        QTRY_COMPARE(errors, 1);
        QCOMPARE(arrivals, 1);
        QCOMPARE(w.State(), int(Winsock::sckClosed));
        peer->write("two");
        QTest::qWait(100);
        QCOMPARE(arrivals, 1);
    }
};

QTEST_GUILESS_MAIN(TestWinsock)
#include "test_winsock.moc"
