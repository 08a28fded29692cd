// Whole downloads through the engine against a real nginx on loopback: the
// queue, the pack plan, the four slots, the register, assembly and completion.
#include "core/settings.h"
#include "core/text_file.h"
#include "core/winsock.h"
#include "engine/download_manager.h"
#include "engine/http_slot.h"
#include "projects/project_file.h"
#include "support/nginx_server.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {
constexpr qint64 P = 512000;
}

class TestDownload : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    NginxServer m_nginx;
    QString served() const { return m_dir.path() + "/www"; }
    QString home() const { return m_dir.path() + "/home"; }
    QString dest() const { return m_dir.path() + "/received/"; }

    static QByteArray sha(const QByteArray &b) { return QCryptographicHash::hash(b, QCryptographicHash::Sha256); }
    static QByteArray readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QByteArray serve(const QString &name, qint64 size)
    {
        QByteArray b(size, Qt::Uninitialized);
        QRandomGenerator gen{quint32(size)};
        for (qint64 i = 0; i < size; ++i)
            b[i] = char(gen.bounded(256));
        QFile f(served() + "/" + name);
        if (!f.open(QIODevice::WriteOnly) || f.write(b) != size)
            qFatal("cannot write served file");
        return b;
    }

    // A confirmed project, as the new-project dialog leaves it.
    void addProject(DownloadManager &e, const QString &name, const QString &file, qint64 size)
    {
        const QString url = m_nginx.hostPort() + "/" + file;
        ProjectRecord rec = ProjectFile::fromSettings(url, size, false);
        QVERIFY(e.store().addNewProject(name, ProjectFile::build(rec), url, size));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QDir().mkpath(served());
        QDir().mkpath(home() + "/projects");
        qputenv("ZOV_KESTRA_HOME", home().toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_dir.path() + "/config").toUtf8());
        Settings::setApplicationName("zov-kestra-download");
        Settings::write("FilePath", dest());
        Settings::write("packsize", QString::number(P));
        QVERIFY2(m_nginx.start(served()), qPrintable(m_nginx.lastError()));
    }

    void cleanupTestCase() { m_nginx.stop(); }

    void sizesAroundThePackSize_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("plan");
        QTest::newRow("empty") << qint64(0) << "0 times 500.00 Kb";
        QTest::newRow("1 byte") << qint64(1) << "0 times 500.00 Kb and 1 Bytes";
        QTest::newRow("P-1") << P - 1 << "0 times 500.00 Kb and 500.00 Kb";
        QTest::newRow("P") << P << "1 times 500.00 Kb";
        QTest::newRow("P+1") << P + 1 << "1 times 500.00 Kb and 1 Bytes";
        QTest::newRow("2P+R") << qint64(1048576) << "2 times 500.00 Kb and 24.00 Kb";
        QTest::newRow("20 MB") << qint64(20 * 1000 * 1000 + 333) << "39 times 500.00 Kb and 31.58 Kb";
    }

    void sizesAroundThePackSize()
    {
        QFETCH(qint64, size);
        QFETCH(QString, plan);
        const QString name = QStringLiteral("s%1").arg(size);
        const QString file = name + ".bin";
        const QByteArray data = serve(file, size);
        DownloadManager e;
        e.store().load();
        addProject(e, name, file, size);
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        QVERIFY(e.startNow(name));
        QCOMPARE(e.display().label("Lbl_Paquet"), plan);
        QCOMPARE(e.display().label("Lbl_Status_B"), QString("Downloading..."));
        QCOMPARE(e.run().Projet_FTP, false);
        QVERIFY(e.Timer_Barre->isActive());
        for (int n = 1; n <= 4; ++n) // an idle slot never holds a socket
            QVERIFY(e.slot(n).isBusy() || e.slot(n).socket()->State() == 0);
        QVERIFY(finished.wait(60000));
        const QString finalFile = finished.first().at(1).toString();
        QCOMPARE(finalFile, dest() + file);
        QCOMPARE(sha(readAll(finalFile)), sha(data));
        // Finished: status 2, listed as finished, working folder gone, every pack
        // registered once.
        QVERIFY(e.store().readProjectFile(name).endsWith("status:2\r\n"));
        QCOMPARE(e.store().Lst_Project2.last(), name);
        QVERIFY(e.store().Lst_Projects_En_Cours.isEmpty());
        QVERIFY(!QDir(dest() + name).exists());
        const QByteArray reg = TextFile::read(home() + "/projects/" + name + "/download.zov");
        const qint64 packs = size / P + (size % P ? 1 : 0);
        QCOMPARE(reg.count(":1\r\n"), packs);
        QVERIFY(!e.run().Downloading);
        const QByteArray stats = TextFile::read(home() + "/projects/" + name + "/stats.zov");
        QVERIFY(stats.startsWith("Time:"));
        QCOMPARE(stats.count("\r\n"), 4);
        // The queue goes on with the next project.
        QVERIFY(e.Timer_Start_Download->isActive());
    }

    void pauseAndResumeKeepWhatIsStored()
    {
        // A rate-limited server keeps the download going long enough to pause it.
        const QByteArray data = serve("paused.bin", 3 * P + 1234);
        NginxServer slow;
        slow.setRateLimit(100000);
        QVERIFY2(slow.start(served()), qPrintable(slow.lastError()));
        // A request sent by hand marks a moment on nginx's own clock: every
        // request the engine sent before it was read no later, every one it sends
        // after it no earlier.
        const auto sendMark = [&slow](const QByteArray &requestLine) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, slow.port());
            if (s.waitForConnected(5000) && s.write(requestLine + "\r\n\r\n") > 0)
                s.waitForDisconnected(5000);
        };
        const auto startOf = [&slow](const QByteArray &requestLine) {
            for (const NginxServer::LogRecord &r : slow.accessLog()) {
                if (r.request == requestLine)
                    return r.startMs;
            }
            return qint64(-1);
        };
        DownloadManager e;
        e.store().load();
        const QString url = slow.hostPort() + "/paused.bin";
        QVERIFY(e.store().addNewProject("paused", ProjectFile::build(ProjectFile::fromSettings(url, data.size(), false)),
                                        url, data.size()));
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        QVERIFY(e.startNow("paused"));
        QTRY_VERIFY_WITH_TIMEOUT(e.run().Taille_Recue > P / 2, 20000);
        QCOMPARE(e.display().label("Cmd_Action"), QString("Pause"));
        int busy = 0;
        for (int n = 1; n <= 4; ++n)
            busy += e.slot(n).isBusy() ? 1 : 0;
        QVERIFY(busy >= 2);
        e.actionClicked();
        QVERIFY(e.isPaused());
        QCOMPARE(e.display().label("Cmd_Action"), QString("Resume"));
        QCOMPARE(e.display().label("Lbl_Status_B"), QString("Pause..."));
        const QByteArray reg = TextFile::read(e.registerPath());
        QCOMPARE(reg.count(":0\r\n"), busy); // one note per pack in progress
        sendMark("GET /mark-1 HTTP/1.0");
        QTest::qWait(300);
        sendMark("GET /mark-2 HTTP/1.0");
        qint64 pausedFrom = -1;
        qint64 pausedTo = -1;
        QTRY_VERIFY_WITH_TIMEOUT((pausedFrom = startOf("GET /mark-1 HTTP/1.0")) >= 0
                                     && (pausedTo = startOf("GET /mark-2 HTTP/1.0")) >= 0, 5000);
        e.actionClicked();
        QVERIFY(!e.isPaused());
        QVERIFY(!TextFile::read(e.registerPath()).contains(":0\r\n"));
        QVERIFY(finished.wait(60000));
        QCOMPARE(sha(readAll(dest() + "paused.bin")), sha(data));
        // nginx logs a finished request before it reads the next one: once this
        // mark is in the log, so is every request of the download.
        sendMark("GET /mark-3 HTTP/1.0");
        QTRY_VERIFY_WITH_TIMEOUT(startOf("GET /mark-3 HTTP/1.0") >= 0, 5000);
        qint64 bodyBytesSent = 0;
        for (const NginxServer::LogRecord &r : slow.accessLog()) {
            if (!r.request.contains("/paused.bin"))
                continue;
            bodyBytesSent += r.bodyBytesSent;
            // nothing moves while paused
            QVERIFY2(r.startMs <= pausedFrom || r.startMs >= pausedTo, r.request.constData());
        }
        // Each pack was asked for once more at most, from where it stopped: far
        // fewer bytes than the file sent twice.
        QVERIFY(bodyBytesSent < data.size() + P);
        slow.stop();
    }

    void queueWaitsWhileTheWindowIsDisabled()
    {
        DownloadManager e;
        e.store().load();
        serve("held.bin", 1000);
        addProject(e, "held", "held.bin", 1000);
        bool enabled = false;
        e.setWindowEnabledCheck([&enabled] { return enabled; });
        e.Timer_Start_Download->setInterval(20);
        e.Timer_Start_Download->start();
        QTest::qWait(200);
        QVERIFY(e.store().Lst_Projects_En_Cours.isEmpty());
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        enabled = true;
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.first().at(0).toString(), QString("held"));
    }
};

QTEST_GUILESS_MAIN(TestDownload)
#include "test_download.moc"
