// zov-kestra-get end to end against a real nginx on loopback.
#include "support/nginx_server.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

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
        QVERIFY2(m_nginx.start(www()), qPrintable(m_nginx.lastError()));
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

    void refusesAnHtmlPage()
    {
        const QString home = m_dir.path() + "/h2";
        const Run r = get({"--dest", m_dir.path() + "/out2", m_nginx.baseUrl() + "/page.html"}, home);
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.err.contains("File not found or the URL don't point on a file !"));
        QVERIFY(!QFile::exists(home + "/projects/page"));
    }

    void badArguments()
    {
        const QString home = m_dir.path() + "/h3";
        QCOMPARE(get({}, home).exitCode, 2);
        QCOMPARE(get({"--pack-size", "zero", m_nginx.baseUrl() + "/big.iso"}, home).exitCode, 2);
    }
};

QTEST_GUILESS_MAIN(TestKestraGet)
#include "test_kestra_get.moc"
