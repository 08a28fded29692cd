// HTTPS end to end: zov-kestra-get against a real nginx with TLS on loopback,
// with an authority and server certificates made here by the openssl command.
#include "core/text_file.h"
#include "support/nginx_server.h"
#include "support/tcp_relay.h"
#include "support/test_files.h"

#include <QDir>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class TestHttps : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    NginxServer m_nginx;
    QString path(const QString &name) const { return m_dir.path() + "/" + name; }
    QString url(int tlsIndex, const QString &file) const
    {
        return QStringLiteral("https://127.0.0.1:%1/%2").arg(m_nginx.tlsPort(tlsIndex)).arg(file);
    }

    // zov-kestra-get, trusting the test authority, with its own store and
    // destination under name; started only when p is given.
    int get(const QString &name, const QString &address, QByteArray *err, QProcess *p = nullptr,
            const QString &authority = "ca.pem")
    {
        QProcess own;
        QProcess &q = p ? *p : own;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZOV_KESTRA_HOME", path(name));
        env.insert("XDG_CONFIG_HOME", path(name + "/config"));
        q.setProcessEnvironment(env);
        q.start(ZK_BINARY_DIR "/zov-kestra-get", {"--ca-certificate", path(authority), "--dest", path(name + "-out"), address});
        if (p || !q.waitForFinished(120000))
            return -1;
        *err = q.readAllStandardError();
        return q.exitCode();
    }

private slots:
    void initTestCase()
    {
        // The certificates: good, expired and wrong-host ones from the test
        // authority, a self-signed one, and one from an authority nobody trusts.
        QProcess sh;
        sh.setWorkingDirectory(m_dir.path());
        sh.start("/bin/sh", {"-ec", R"(
            key() { openssl ecparam -name prime256v1 -genkey -noout -out $1.key; }
            for a in ca stranger; do key $a; openssl req -x509 -new -key $a.key -out $a.pem -days 2 -subj /CN=$a; done
            cert() { key $1; openssl req -new -key $1.key -out $1.csr -subj /CN=$1; echo subjectAltName=$3 >$1.ext
                     openssl x509 -req -in $1.csr $2 -out $1.pem -days $4 -extfile $1.ext; }
            cert good "-CA ca.pem -CAkey ca.key -CAcreateserial" IP:127.0.0.1 2
            cert expired "-CA ca.pem -CAkey ca.key" IP:127.0.0.1 -1
            cert wronghost "-CA ca.pem -CAkey ca.key" DNS:other.invalid 2
            cert selfsigned "-signkey selfsigned.key" IP:127.0.0.1 2
            cert unknown "-CA stranger.pem -CAkey stranger.key -CAcreateserial" IP:127.0.0.1 2)"});
        QVERIFY2(sh.waitForFinished(60000) && sh.exitCode() == 0, sh.readAllStandardError().constData());
        for (const char *c : {"good", "selfsigned", "expired", "wronghost", "unknown"})
            m_nginx.addTls(path(c + QString(".pem")), path(c + QString(".key")));
        QVERIFY(QDir().mkpath(path("www/slow")));
        for (qint64 size : {qint64(1), qint64(512001), qint64(10 << 20)})
            QVERIFY(TestFiles::write(path("www/f%1.bin").arg(size), TestFiles::randomBytes(size, quint32(size))));
        QVERIFY(QFile::copy(path("www/f10485760.bin"), path("www/slow/s.bin")));
        QVERIFY2(m_nginx.start(path("www"), "location /slow/ { limit_rate 500k; }\n"
                               "location = /to-tls.bin { return 302 https://127.0.0.1:@TLSPORT@/f512001.bin; }\n"
                               "location = /to-plain.bin { return 301 http://127.0.0.1:@PORT@/f512001.bin; }\n"),
                 qPrintable(m_nginx.lastError()));
    }

    void cleanupTestCase() { m_nginx.stop(); }

    void downloadsExact_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("type");
        // Faults: a short or long last pack, TLS bytes taken for body bytes.
        QTest::newRow("1 byte") << url(0, "f1.bin") << "f1.bin" << QByteArray("Type:2");
        QTest::newRow("P+1") << url(0, "f512001.bin") << "f512001.bin" << QByteArray("Type:2");
        // Faults: a handshake per run instead of kept-open connections, sessions not resumed.
        QTest::newRow("10 MB") << url(0, "f10485760.bin") << "f10485760.bin" << QByteArray("Type:2");
        // Faults: the scheme lost on a redirection (plain bytes sent to a TLS port, or the reverse).
        QTest::newRow("http to https") << m_nginx.baseUrl() + "/to-tls.bin" << "f512001.bin" << QByteArray("Type:2");
        QTest::newRow("https to http") << url(0, "to-plain.bin") << "f512001.bin" << QByteArray("Type:0");
    }

    void downloadsExact()
    {
        QFETCH(QString, address);
        QFETCH(QString, file);
        QFETCH(QByteArray, type);
        const QString name = QTest::currentDataTag();
        const qsizetype from = m_nginx.accessLog().size();
        QByteArray err;
        QCOMPARE(get(name, address, &err), 0);
        QCOMPARE(TestFiles::read(path(name + "-out/" + file)), TestFiles::read(path("www/" + file)));
        const QString base = file.section('.', 0, 0);
        QVERIFY(TextFile::read(path(name + "/projects/" + base + "/project.zov")).contains("\r\n" + type + "\r\n"));
        QSet<qint64> connections, fresh;
        int requests = 0;
        for (const NginxServer::LogRecord &r : m_nginx.accessLog().mid(from)) {
            requests += r.request.contains(file.toUtf8());
            connections.insert(r.connection);
            if (!r.tlsResumed)
                fresh.insert(r.connection);
        }
        if (name == "10 MB")   // the probe's one full handshake, then four resumed connections with several runs
            QVERIFY2(connections.size() == 5 && fresh.size() == 1 && requests > 5, qPrintable(QString::number(requests)));
    }

    void refusals_data()
    {
        QTest::addColumn<int>("listener");
        QTest::addColumn<QByteArray>("problem");
        // Faults: a certificate problem accepted, or told as a network failure.
        QTest::newRow("self-signed") << 1 << QByteArray("is self-signed");
        QTest::newRow("expired") << 2 << QByteArray("has expired");
        QTest::newRow("wrong host") << 3 << QByteArray("was made for another host name");
        QTest::newRow("unknown authority") << 4 << QByteArray("comes from an unknown authority");
    }

    void refusals()
    {
        QFETCH(int, listener);
        QFETCH(QByteArray, problem);
        const QString name = QStringLiteral("r%1").arg(listener);
        QByteArray err;
        QCOMPARE(get(name, url(listener, "f1.bin"), &err), 2);
        QVERIFY2(err.contains("The certificate of 127.0.0.1 " + problem), err.constData());
        // Fault: a project or a file written for a refused server.
        QVERIFY(!QDir(path(name + "-out")).exists());
        QCOMPARE(QDir(path(name + "/projects")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    void interruptedDownloadResumes()
    {
        // Faults: a resumed HTTPS project fetched over plain HTTP, or from byte 0; a
        // certificate refused on a later connection retried or told as a network failure.
        QProcess p;
        QByteArray err;
        get("resume", url(0, "slow/s.bin"), &err, &p);
        QTRY_VERIFY_WITH_TIMEOUT(TextFile::read(path("resume/projects/s/download.zov")).count(":1\r\n") >= 4, 30000);
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(10000) && p.exitCode() == 1);
        QCOMPARE(get("resume", url(0, "slow/s.bin"), &err, nullptr, "stranger.pem"), 6);
        QVERIFY2(err.contains("The certificate of 127.0.0.1 comes from an unknown authority"), err.constData());
        QCOMPARE(get("resume", url(0, "slow/s.bin"), &err), 0);
        QVERIFY2(err.contains("Resuming s at "), err.constData());
        QCOMPARE(TestFiles::read(path("resume-out/s.bin")), TestFiles::read(path("www/slow/s.bin")));
    }

    void cutWithoutCloseNotifyIsRetried()
    {
        // Fault: a TLS stream cut short in mid-body (no close-notify) taken as a whole pack.
        TcpRelay relay(m_nginx.tlsPort(0));
        relay.cuts.insert(2, 700000);   // 0 and 1 are the probe's: the system's store first, then the test authority
        QVERIFY(relay.start());
        QProcess p;
        QByteArray err;
        get("cut", QStringLiteral("https://127.0.0.1:%1/f10485760.bin").arg(relay.port()), &err, &p);
        QTRY_VERIFY_WITH_TIMEOUT(p.state() == QProcess::NotRunning, 60000);
        QVERIFY2(p.exitCode() == 0 && relay.connections() == 7, p.readAllStandardError().constData());
        QCOMPARE(TestFiles::read(path("cut-out/f10485760.bin")), TestFiles::read(path("www/f10485760.bin")));
    }
};

QTEST_GUILESS_MAIN(TestHttps)
#include "test_https.moc"
