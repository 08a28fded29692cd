// zov-kestra-get end to end against a real nginx on loopback.
#include "core/text_file.h"
#include "support/nginx_server.h"

#include <QTcpServer>
#include <QtTest>

#include <csignal>

class TestKestraGet : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    NginxServer m_nginx;
    QString www() const { return m_dir.path() + "/www"; }

    // zov-kestra-get with its store in home, started.
    void start(QProcess &p, const QStringList &args, const QString &home)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZOV_KESTRA_HOME", home);
        env.insert("XDG_CONFIG_HOME", home + "/config");
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(ZK_BINARY_DIR "/zov-kestra-get"), args);
    }
    // Its exit code (-1: still running after two minutes, then killed;
    // -2: crashed), standard error and output.
    int get(const QStringList &args, const QString &home, QByteArray *err, QByteArray *out = nullptr)
    {
        QProcess p;
        start(p, args, home);
        if (!p.waitForFinished(120000)) {
            p.kill();
            return -1;
        }
        *err = p.readAllStandardError();
        if (out)
            *out = p.readAllStandardOutput();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    }
    static QByteArray sha(const QString &path)
    {
        return QCryptographicHash::hash(TextFile::read(path), QCryptographicHash::Sha256);
    }

private slots:
    void initTestCase()
    {
        QByteArray big(9 << 20, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(big.data()), big.size() / 4);
        QVERIFY(QDir().mkpath(www() + "/paced")
                && TextFile::write(www() + "/big.iso", big + "tail")
                && TextFile::write(www() + "/page.html", "<html><body>not a file</body></html>")
                && QFile::link(www() + "/big.iso", www() + "/paced/big.iso"));
        QVERIFY2(m_nginx.start(www(), "location /paced/ { limit_rate 100k; }\n"), qPrintable(m_nginx.lastError()));
    }

    void cleanupTestCase() { m_nginx.stop(); }

    void downloadsAFile()
    {
        // A project an earlier run left in progress does not block the run.
        const QString home = m_dir.path() + "/h1";
        const QString dest = m_dir.path() + "/out1";
        QVERIFY(QDir().mkpath(home + "/projects/old") && TextFile::write(home + "/projects/main.zov", "old\r\n")
                && TextFile::write(home + "/projects/old/project.zov", "url:127.0.0.1:1/old.bin\r\nbytes:10\r\nstatus:0\r\n"));
        QByteArray err, out;
        QCOMPARE(get({"--dest", dest, "--pack-size", "1024000", m_nginx.baseUrl() + "/big.iso"}, home, &err, &out), 0);
        QVERIFY2(out.contains("100%"), err.constData());
        QCOMPARE(sha(dest + "/big.iso"), sha(www() + "/big.iso"));
        QCOMPARE(QDir(dest).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot), QStringList{"big.iso"});
        // In the store, finished, with the chosen pack size; the old one set aside.
        const QByteArray project = TextFile::read(home + "/projects/big/project.zov");
        QVERIFY2(project.contains("packsize:1024000\r\n") && project.endsWith("status:2\r\n"), project.constData());
        QVERIFY(TextFile::read(home + "/projects/old/project.zov").endsWith("status:1\r\n"));
    }

    void exitCodes_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("said");
        const QString big = m_nginx.baseUrl() + "/big.iso";
        QTest::newRow("no address") << QStringList() << 2 << QByteArray("usage:");
        QTest::newRow("pack size not a number") << QStringList{"--pack-size", "zero", big} << 2 << QByteArray("--pack-size");
        QTest::newRow("an HTML page") << QStringList{m_nginx.baseUrl() + "/page.html"} << 2
                                      << QByteArray("File not found or the URL don't point on a file !");
        // Fault: a gopher:// address fetched as HTTP, or refused without saying why.
        QTest::newRow("another scheme") << QStringList{"gopher://127.0.0.1:1/f.bin"} << 2
                                        << QByteArray("on a file !\nUnsupported scheme \"gopher\"");
        // Fault: a refused connection told only as "check your Internet connection".
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString nobody = QStringLiteral("http://127.0.0.1:%1/f.bin").arg(closed.serverPort());
        closed.close();
        QTest::newRow("nothing listens") << QStringList{nobody} << 2 << QByteArray("later !\n(Connection refused)");
        // Fault: a destination that is a file was retried as network trouble
        // for 15 s and 10 MB before "check your Internet connection".
        QTest::newRow("--dest names a file") << QStringList{"--dest", www() + "/page.html", big} << 4
                                             << QByteArray("Not a directory");
    }

    void exitCodes()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QByteArray, said);
        QByteArray err;
        QCOMPARE(get(args, m_dir.path() + "/h-" + QTest::currentDataTag(), &err), code);
        QVERIFY2(err.contains(said), err.constData());
    }

    // Catches a kill at any moment (while probing, starting, writing a pack,
    // joining) that leaves a wrong byte, a project that cannot go on, or stored
    // bytes fetched again; Ctrl-C exiting with another code than the README's
    // 1 or not saying where it stopped; a run again that starts a second
    // project from byte 0; a finished file asked for again.
    void killedTenTimesStillEndsExact()
    {
        const QString home = m_dir.path() + "/h6", dest = m_dir.path() + "/out6";
        const QStringList args = {"--dest", dest, "--pack-size", "100000", m_nginx.baseUrl() + "/paced/big.iso"};
        const qsizetype logFrom = m_nginx.accessLog().size();
        for (int k = 0; k < 11; ++k) {
            QProcess p;
            start(p, args, home);
            QVERIFY(p.waitForStarted());
            if (p.waitForFinished(100 + 60 * k))
                QFAIL(p.readAllStandardError().constData());
            ::kill(pid_t(p.processId()), k < 10 ? SIGKILL : SIGINT);
            QVERIFY(p.waitForFinished(10000));
            if (k == 10) {
                const QByteArray said = p.readAllStandardError();
                QVERIFY2(p.exitCode() == 1 && said.contains("Stopped at ") && said.contains("%)"), said.constData());
            }
        }
        QByteArray err, out;
        QCOMPARE(get(args, home, &err), 0);
        QVERIFY2(err.contains("Resuming big at "), err.constData());
        QCOMPARE(sha(dest + "/big.iso"), sha(www() + "/big.iso"));
        QCOMPARE(QDir(home + "/projects").entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{"big"});
        qint64 sent = 0;
        const QList<NginxServer::LogRecord> log = m_nginx.accessLog();
        for (qsizetype i = logFrom; i < log.size(); ++i)
            sent += log[i].request.contains("/big.iso") ? log[i].bodyBytesSent : 0;
        const double ratio = double(sent) / double(QFileInfo(www() + "/big.iso").size());
        qInfo("server sent %.4f x the file over twelve runs", ratio);
        // What nginx had already pushed into the socket at each kill is lost
        // (about 1 % here, a few % more on a loaded machine); fetching each
        // killed slot's packs again from their first byte costs 40 % and more.
        QVERIFY2(ratio <= 1.10, qPrintable(QString::number(ratio)));
        QCOMPARE(get(args, home, &err, &out), 0);
        QVERIFY2(out.startsWith("Already downloaded: " + dest.toUtf8() + "/big.iso"), out.constData());
        QTest::qWait(100);
        QCOMPARE(m_nginx.accessLog().size(), log.size());   // not even a probe
    }
};

QTEST_GUILESS_MAIN(TestKestraGet)
#include "test_kestra_get.moc"
