// zov-kestra-get end to end against a real nginx on loopback.
#include "support/nginx_server.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class TestKestraGet : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    NginxServer m_nginx;
    QString www() const { return m_dir.path() + "/www"; }

    struct Run
    {
        int exitCode = -1;
        QByteArray out, err;
    };

    Run get(const QStringList &args, const QString &home)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZOV_KESTRA_HOME", home);
        env.insert("XDG_CONFIG_HOME", home + "/config");
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(ZK_BINARY_DIR "/zov-kestra-get"), args);
        Run r;
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }

    static QByteArray sha(const QString &path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QCryptographicHash h(QCryptographicHash::Sha256);
        h.addData(&f);
        return h.result();
    }

private slots:
    void initTestCase()
    {
        QDir().mkpath(www());
        QFile big(www() + "/big.iso");
        QVERIFY(big.open(QIODevice::WriteOnly));
        QRandomGenerator gen(7);
        QByteArray block(1 << 20, Qt::Uninitialized);
        for (int i = 0; i < 9; ++i) {
            for (int j = 0; j < block.size(); ++j)
                block[j] = char(gen.bounded(256));
            big.write(block);
        }
        big.write("tail");
        big.close();
        QFile html(www() + "/page.html");
        QVERIFY(html.open(QIODevice::WriteOnly));
        html.write("<html><body>not a file</body></html>");
        html.close();
        QDir().mkpath(www() + "/slow");
        QVERIFY(QFile::link(www() + "/big.iso", www() + "/slow/big.iso"));
        QVERIFY2(m_nginx.start(www(), "location /slow/ { limit_rate 20k; }\n"), qPrintable(m_nginx.lastError()));
    }

    void cleanupTestCase() { m_nginx.stop(); }

    void downloadsAFile()
    {
        const QString home = m_dir.path() + "/h1";
        const QString dest = m_dir.path() + "/out1";
        const Run r = get({"--dest", dest, "--pack-size", "1024000", m_nginx.baseUrl() + "/big.iso"}, home);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(sha(dest + "/big.iso"), sha(www() + "/big.iso"));
        QVERIFY(r.out.contains("100%"));
        // The project is in the store, finished, with the chosen pack size.
        QFile project(home + "/projects/big/project.zov");
        QVERIFY(project.open(QIODevice::ReadOnly));
        const QByteArray text = project.readAll();
        QVERIFY(text.contains("packsize:1024000\r\n"));
        QVERIFY(text.endsWith("status:2\r\n"));
        QCOMPARE(QDir(dest).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot), QStringList{"big.iso"});
    }

    void runsAgainAfterAnInterruptedRun()
    {
        // A project an earlier run left in progress does not block the next run.
        const QString home = m_dir.path() + "/h4";
        QDir().mkpath(home + "/projects/old");
        QFile list(home + "/projects/main.zov");
        QVERIFY(list.open(QIODevice::WriteOnly));
        list.write("old\r\n");
        list.close();
        QFile old(home + "/projects/old/project.zov");
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("url:127.0.0.1:1/old.bin\r\nbytes:10\r\nstatus:0\r\n");
        old.close();
        const QString dest = m_dir.path() + "/out4";
        const Run r = get({"--dest", dest, m_nginx.baseUrl() + "/big.iso"}, home);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(sha(dest + "/big.iso"), sha(www() + "/big.iso"));
        QVERIFY(old.open(QIODevice::ReadOnly));
        QVERIFY(old.readAll().endsWith("status:1\r\n"));
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
        const Run r = get(args, m_dir.path() + "/h-" + QTest::currentDataTag());
        QVERIFY2(r.err.contains(said), r.err.constData());
        QCOMPARE(r.exitCode, code);
    }

    void interruptedExitsWithTheDocumentedCode()
    {
        // Fault: Ctrl-C exited 130 where the README says 1.
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZOV_KESTRA_HOME", m_dir.path() + "/h5");
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(ZK_BINARY_DIR "/zov-kestra-get"),
                {"--dest", m_dir.path() + "/out5", m_nginx.baseUrl() + "/slow/big.iso"});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QDir(m_dir.path() + "/out5/big").exists(), 10000);
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAllStandardError().contains("Stopped."));
    }
};

QTEST_GUILESS_MAIN(TestKestraGet)
#include "test_kestra_get.moc"
