#include <QtNetwork>
#include <QtTest>

#include <numeric>

#include "core/winsock.h"
#include "support/nginx_server.h"

namespace {
const QByteArray kAllBytes = [] { QByteArray b(256, 0); std::iota(b.begin(), b.end(), char(0)); return b; }();
// A loopback port nothing listens on.
quint16 closedPort() { return freeListenPorts(1).value(0); }
} // namespace

class TestWinsock : public QObject
{
    Q_OBJECT

private slots:
    // Catches a port taken from the wrong colon, or a bad port accepted. Rows: text, host, port (the caller names 21).
    void splitHostPort()
    {
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

    // Catches bytes sent before Connected lost or re-encoded, Closed raised before the last bytes or by our own Close, and
    // a socket closed and reused from inside its own handler that is still used or still reports.
    void exchangeCloseAndReuseFromHandlers()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Winsock w;
        QByteArray got;
        QList<int> seen; // Closed as 0 and the bytes read by then; errors as their number
        connect(&w, &Winsock::DataArrival, this, [&]() { got += w.GetData(); });
        connect(&w, &Winsock::Closed, this, [&]() {
            seen << 0 << int(got.size());
            Ferme_Connect(w);
            w.Connect(QStringLiteral("127.0.0.1"), closedPort());
        });
        connect(&w, &Winsock::Error, this, [&](int number) {
            seen << number;
            Ferme_Connect(w);
        });
        w.Connect(QStringLiteral("127.0.0.1:%1").arg(server.serverPort()), closedPort());
        w.SendData("early\r\n");
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *peer = server.nextPendingConnection();
        QTRY_COMPARE(w.State(), int(Winsock::sckConnected));
        w.SendData(kAllBytes);
        QByteArray sent;
        QTRY_COMPARE(sent += peer->readAll(), "early\r\n" + kAllBytes);
        peer->write(kAllBytes.repeated(200));
        peer->disconnectFromHost();
        QTRY_COMPARE(seen, (QList<int>{0, 256 * 200, Winsock::sckConnectionRefused}));
        QCOMPARE(got, kAllBytes.repeated(200));
        QCOMPARE(w.State(), int(Winsock::sckClosed));
    }

    // Catches a listen failure reported inside Listen, a request handed to the wrong object, and the bytes or close of a
    // peer already gone lost (an FTP data connection that sends a short file and closes before it is accepted).
    void listenAndAccept()
    {
        Winsock listener, taken, other;
        listener.Listen();
        const quint16 port = listener.LocalPort();
        QSignalSpy takenErrors(&taken, &Winsock::Error);
        taken.setLocalPort(port);
        taken.Listen();
        QVERIFY(takenErrors.isEmpty() && takenErrors.wait(5000));
        QCOMPARE(takenErrors.first().at(0).toInt(), int(Winsock::sckAddressInUse));

        QSignalSpy closed(&listener, &Winsock::Closed);
        connect(&listener, &Winsock::ConnectionRequest, this, [&](int id) {
            if (other.State() == Winsock::sckClosed)
                return other.Accept(id);
            QPointer<QTcpSocket> pending = listener.findChild<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
            QTRY_VERIFY_WITH_TIMEOUT(pending && pending->state() == QAbstractSocket::UnconnectedState, 10000);
            Ferme_Connect(listener);
            listener.Accept(id);
        });
        QTcpSocket client1, client2;
        client1.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(other.State(), int(Winsock::sckConnected));
        other.SendData(kAllBytes);
        QByteArray sent;
        QTRY_COMPARE(sent += client1.readAll(), kAllBytes);
        client2.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client2.waitForConnected(5000));
        client2.write("--RVQ--http://127.0.0.1/file.zip");
        client2.disconnectFromHost();
        QVERIFY(closed.wait(10000));
        QCOMPARE(listener.GetData(), QByteArray("--RVQ--http://127.0.0.1/file.zip"));
    }

    // Names under "invalid" fail like a failed lookup, with no query. Catches the error raised inside Connect, and an
    // attempt abandoned by Close that still reports.
    void hostNotFound()
    {
        Winsock abandoned;
        QSignalSpy abandonedErrors(&abandoned, &Winsock::Error);
        abandoned.Connect(QStringLiteral("nohost.invalid"), 80);
        Ferme_Connect(abandoned);
        for (const char *name : {"nohost.invalid:80", "INVALID", "a.b.Invalid."}) {
            Winsock unknown;
            QSignalSpy errors(&unknown, &Winsock::Error);
            unknown.Connect(QString::fromLatin1(name), 21);
            QVERIFY2(errors.isEmpty() && errors.wait(5000), name);
            QCOMPARE(errors.first().at(0).toInt(), int(Winsock::sckHostNotFound));
        }
        QCOMPARE(abandonedErrors.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestWinsock)
#include "test_winsock.moc"
