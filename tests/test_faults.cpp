// Downloads under faults, end to end against a real nginx on loopback: a server
// without ranges whose connection breaks, a disk that fills up, a file replaced
// on the server, and a file cut into twenty thousand packs.
#include "core/program_folder.h"
#include "core/settings.h"
#include "core/text_file.h"
#include "engine/download_manager.h"
#include "engine/http_slot.h"
#include "engine/url_probe.h"
#include "projects/project_file.h"
#include "support/engine_bench.h"
#include "support/nginx_server.h"
#include "support/tcp_relay.h"
#include "support/test_files.h"
#include "view/failure_text.h"

#include <QtTest>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

using TestFiles::randomBytes;

namespace {
constexpr qint64 P = 512000;

// One of this process's I/O counters (/proc/self/io): bytes or calls, not time.
qint64 ioCounter(const QByteArray &name)
{
    for (const QByteArray &line : TestFiles::read(QStringLiteral("/proc/self/io")).split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().toLongLong();
    }
    return -1;
}
} // namespace

class TestFaults : public QObject
{
    Q_OBJECT
    EngineBench m_bench;
    NginxServer m_nginx;
    QString www() const { return m_bench.www(); }
    QString dest() const { return m_bench.dest(); }

    // The project a probe of the address makes, validators beside it, in e's loaded store.
    bool addProject(DownloadManager &e, const QString &name, const QString &url, qint64 packSize)
    {
        e.queue().load();
        UrlProbe probe;
        QSignalSpy ok(&probe, &UrlProbe::succeeded);
        probe.start(url);
        if (!ok.wait(10000))
            return false;
        const auto r = ok.first().first().value<ProbeResult>();
        ProjectRecord rec = ProjectFile::fromSettings(r.url, r.fileSize, false);
        rec.packsize = r.rangesSupported ? packSize : r.fileSize;
        return e.queue().add(name, ProjectFile::build(rec), r.url, r.fileSize, r.serverInfo());
    }

    // Body bytes nginx sent for a path, from its access log, skipping the
    // first `from` records.
    qint64 bytesServed(const QByteArray &path, qsizetype from) const
    {
        qint64 sum = 0;
        const auto log = m_nginx.accessLog();
        for (qsizetype i = from; i < log.size(); ++i) {
            if (log[i].request.split(' ').value(1) == path)
                sum += log[i].bodyBytesSent;
        }
        return sum;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_bench.setUp(P) && QDir().mkpath(www() + "norange") && QDir().mkpath(www() + "slow"));
        QVERIFY2(m_nginx.start(www(), "location /norange/ { max_ranges 0; }\n"
                                      "location /slow/ { limit_rate 100k; }\n"
                                      "location /closing/ { keepalive_timeout 0; }\n"),
                 qPrintable(m_nginx.lastError()));
    }

    void cleanupTestCase() { m_nginx.stop(); }

    // A program folder of its own for each test: a project one test leaves in
    // progress does not hold up the next.
    void init()
    {
        const QString home = m_bench.dir.path() + "/home-" + QTest::currentTestFunction() + "-" + QTest::currentDataTag();
        qputenv("ZOV_KESTRA_HOME", home.toUtf8());
        QDir().mkpath(home + "/projects");
        Settings::write("FilePath", dest());
    }

    void serverWithoutRangesRecoversFromACut()
    {
        // Fault: the retry asked for a range the server cannot give and paused
        // for ever; and the project's one-pack size leaked into the settings.
        const QByteArray data = randomBytes(3 * P + 123, 1);
        QVERIFY(TestFiles::write(www() + "norange/n.bin", data));
        TcpRelay relay(m_nginx.port());
        relay.cuts.insert(0, 700000);   // the probe's, whose answer slot 1 carries on
        QVERIFY(relay.start());
        DownloadManager e;
        QVERIFY(addProject(e, "n", QStringLiteral("127.0.0.1:%1/norange/n.bin").arg(relay.port()), P));
        e.setSlotTimeouts(5000, 10);
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        QVERIFY(e.queue().startNow("n"));
        QCOMPARE(e.download()->packSize(), qint64(data.size()));
        QVERIFY(finished.wait(30000));
        QCOMPARE(TestFiles::read(dest() + "n.bin"), data);
        QCOMPARE(e.download()->slot(1).failuresTotal(), 1);
        QCOMPARE(relay.connections(), 2);
        QCOMPARE(Settings::packSize(), P);
    }

    void smallDiskRefusedFirstFullDiskPausesBothResume()
    {
        // Faults: a destination with too little room was found out only after
        // it had filled (20 MB into a 5 MB folder); a disk that another file
        // fills during the download stopped it halfway.
        if (::geteuid() != 0)
            QSKIP("mounting a small file system needs root");
        const QString small = m_bench.dir.path() + "/small/";
        QDir().mkpath(small);
        if (::mount("tmpfs", small.toUtf8().constData(), "tmpfs", 0, "size=1m") != 0)
            QSKIP(qPrintable(QStringLiteral("cannot mount a small file system here: %1").arg(strerror(errno))));
        struct Unmount {
            QString at;
            ~Unmount() { ::umount2(at.toUtf8().constData(), MNT_DETACH); }
        } unmount{small};
        const QByteArray data = randomBytes(3 * P + 77, 2);
        QVERIFY(TestFiles::write(www() + "big.bin", data));
        Settings::write("FilePath", small);
        DownloadManager e;
        QVERIFY(addProject(e, "big", m_nginx.hostPort() + "/big.bin", P));
        Settings::write("FilePath", dest());
        const qsizetype requestsBefore = m_nginx.accessLog().size();
        QSignalSpy failed(&e, &DownloadManager::downloadFailed);
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        QVERIFY(e.queue().startNow("big"));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().at(0).value<DownloadFailure>(), DownloadFailure::NoRoom);
        QString text = failureText(DownloadFailure::NoRoom, failed.first().at(1).toString());
        QVERIFY2(text.contains("1.50 Mb is left") && text.contains(" Mb is free in " + small.chopped(1)),
                 qPrintable(text));
        QVERIFY(e.isPaused());
        QTest::qWait(300);
        QCOMPARE(m_nginx.accessLog().size(), requestsBefore);
        // Room enough at the resume: the download takes it before its first
        // request, and another file cannot have it any more.
        QVERIFY(::mount("tmpfs", small.toUtf8().constData(), "tmpfs", MS_REMOUNT, "size=2m") == 0);
        e.actionClicked();
        QVERIFY(!e.isPaused());
        QVERIFY(!TestFiles::write(small + "other.bin", QByteArray(1 << 20, 'x')));
        QFile::remove(small + "other.bin");
        QVERIFY(finished.wait(20000));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(TestFiles::read(small + "big.bin"), data);
    }

    void replacedFileNeverMixes_data()
    {
        QTest::addColumn<bool>("whilePaused");
        QTest::newRow("while downloading") << false;
        QTest::newRow("between a pause and its resume") << true;
    }

    void replacedFileNeverMixes()
    {
        // Fault: a file replaced by another of the same size went on
        // downloading, half old, half new.
        QFETCH(bool, whilePaused);
        const QString name = whilePaused ? "swap2" : "swap1";
        const QString file = www() + "slow/" + name + ".bin";
        const QByteArray before = randomBytes(3 * P, 3), after = randomBytes(3 * P, 4);
        QVERIFY(TestFiles::write(file, before));
        // One connection breaks after the swap, so that its slot asks again.
        TcpRelay relay(m_nginx.port());
        relay.cuts.insert(1, 150000);
        QVERIFY(relay.start());
        DownloadManager e;
        QVERIFY(addProject(e, name, QStringLiteral("127.0.0.1:%1/slow/%2.bin").arg(relay.port()).arg(name), 100000));
        e.setSlotTimeouts(5000, 10);
        QSignalSpy failed(&e, &DownloadManager::downloadFailed);
        QVERIFY(e.queue().startNow(name));
        QTRY_VERIFY_WITH_TIMEOUT(e.status().received > 50000, 20000);
        if (whilePaused)
            e.actionClicked();
        // A new file (new inode, a later date) takes the old one's name.
        QVERIFY(TestFiles::write(file + ".new", after));
        QFile replacement(file + ".new");
        QVERIFY(replacement.open(QIODevice::ReadWrite)
                && replacement.setFileTime(QDateTime::currentDateTime().addSecs(100), QFileDevice::FileModificationTime));
        replacement.close();
        QVERIFY(::rename(QFile::encodeName(file + ".new").constData(), QFile::encodeName(file).constData()) == 0);
        if (whilePaused)
            e.actionClicked();
        QVERIFY(failed.wait(20000));
        QCOMPARE(failed.first().at(0).value<DownloadFailure>(), DownloadFailure::ServerChanged);
        QVERIFY(e.isPaused());
        QVERIFY(!QFile::exists(dest() + name + ".bin"));
        const QString folder = dest() + name + "/";
        // Each byte of the work file is the old file's, or was never fetched.
        const QByteArray work = TestFiles::read(folder + "final.zov");
        QCOMPARE(work.size(), before.size());
        qsizetype mixed = -1;
        for (qsizetype i = 0; i < work.size() && mixed < 0; ++i)
            mixed = work[i] == before[i] || work[i] == 0 ? -1 : i;
        QCOMPARE(mixed, qsizetype(-1));
    }

    void probeAnswerOutlivesItsConnection()
    {
        // Fault: the probe's answer dropped when the server closed its connection
        // (keep-alive off, or an idle timeout while the user read the dialog):
        // slot 1 asked for the file's first MiB again.
        const QByteArray data = randomBytes(3 * P + 77, 6);
        QVERIFY(QDir().mkpath(www() + "closing") && TestFiles::write(www() + "closing/c.bin", data));
        DownloadManager e;
        const qsizetype logFrom = m_nginx.accessLog().size();
        QVERIFY(addProject(e, "c", m_nginx.hostPort() + "/closing/c.bin", P));
        QTest::qWait(300);   // the server's close arrives before the download starts
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        QVERIFY(e.queue().startNow("c"));
        QVERIFY(finished.wait(30000));
        QCOMPARE(TestFiles::read(dest() + "c.bin"), data);
        QTRY_COMPARE_WITH_TIMEOUT(bytesServed("/closing/c.bin", logFrom), qint64(data.size()), 5000);
    }

    void manyPacksCostFlat()
    {
        // Fault: each finished pack reread and rewrote the whole register, so a
        // file of many small packs took time and I/O quadratic in their number.
        static constexpr qint64 Packs = 20000, Size = 100;
        const QByteArray data = randomBytes(Packs * Size - 37, 5);
        QVERIFY(TestFiles::write(www() + "many.bin", data));
        DownloadManager e;
        const qsizetype logFrom = m_nginx.accessLog().size();
        QVERIFY(addProject(e, "many", m_nginx.hostPort() + "/many.bin", Size));
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        const qint64 written = ioCounter("wchar"), writes = ioCounter("syscw"), read = ioCounter("rchar");
        QVERIFY(e.queue().startNow("many"));
        QVERIFY(finished.wait(60000));
        QCOMPARE(TestFiles::read(dest() + "many.bin"), data);
        QCOMPARE(TestFiles::read(ProgramFolder::projectDir("many") + "download.zov").count(":1\r\n"), Packs);
        // Per pack: its bytes, one register line of about a hundred bytes, and
        // a handful of calls, whatever the pack's number.
        QVERIFY2(ioCounter("wchar") - written < 3 * data.size() + Packs * 200,
                 qPrintable(QString::number(ioCounter("wchar") - written)));
        QVERIFY(ioCounter("syscw") - writes < Packs * 8);
        QVERIFY(ioCounter("rchar") - read < 4 * data.size() + Packs * 200);
        // Every byte asked for once, the probe's answer included (slot 1
        // stores it): no request cut, none repeated.
        QTRY_COMPARE_WITH_TIMEOUT(bytesServed("/many.bin", logFrom), qint64(data.size()), 5000);
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "test_faults.moc"
