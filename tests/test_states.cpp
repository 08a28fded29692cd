// The download's states through the real engine against nginx on loopback: each event in each state leads to the
// next one, the status says what happens, and a program killed in any state finishes the file at its next start-up.
#include "core/text_file.h"
#include "engine/transfer_slot.h"
#include "support/engine_bench.h"
#include "support/nginx_server.h"
#include "support/test_http_server.h"
#include "view/download_view.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {
using S = Download::State;
constexpr qint64 P = 512000;

// A copy of folder from into to (made anew), as a killed program leaves it.
void copyTree(const QString &from, const QString &to)
{
    QDir(to).removeRecursively();
    QDir().mkpath(to);
    for (const QFileInfo &fi : QDir(from).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        if (fi.isDir())
            copyTree(fi.filePath(), to + "/" + fi.fileName());
        else
            QFile::copy(fi.filePath(), to + "/" + fi.fileName());
    }
}
} // namespace

class TestStates : public QObject
{
    Q_OBJECT
private:
    EngineBench m_bench;
    NginxServer m_slow;   // four slots at 200 KB/s each: a few seconds per file
    std::unique_ptr<DownloadManager> m_e;
    std::unique_ptr<QSignalSpy> m_states;
    QString served() const { return m_bench.www(); }
    QString home() const { return m_bench.home(); }
    QString dest() const { return m_bench.dest(); }

    // The program starts (resuming a project left in progress) with a fresh record of the states it passes through.
    DownloadManager &startUp()
    {
        m_states.reset();
        m_e = std::make_unique<DownloadManager>();
        m_e->setSlotTimeouts(3000, 10);
        m_states = std::make_unique<QSignalSpy>(m_e.get(), &DownloadManager::stateChanged);
        m_e->queue().load();
        m_e->queue().startAtLaunch();
        return *m_e;
    }
    // Killed: no shutdown, nothing written on the way out.
    void kill()
    {
        m_states.reset();
        m_e.reset();
    }
    QList<S> seen()
    {
        QList<S> list;
        for (const QList<QVariant> &a : std::as_const(*m_states))
            list.append(a.at(0).value<S>());
        m_states->clear();
        return list;
    }
    QByteArray add(const QString &name, qint64 size, const QString &host) { return m_bench.serve(*m_e, name, size, host); }
    bool finishes(const QString &name, const QByteArray &data)
    {
        QSignalSpy finished(m_e.get(), &DownloadManager::projectFinished);
        return (m_e->state() == S::Finished || finished.wait(30000)) && m_e->state() == S::Finished
               && sha256(TextFile::read(dest() + name + ".bin")) == sha256(data);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_bench.setUp(P));
        m_slow.setRateLimit(200000);
        QVERIFY2(m_slow.start(served()), qPrintable(m_slow.lastError()));
    }
    void cleanup() { kill(); }
    void cleanupTestCase() { m_slow.stop(); }

    // Faults: a click that pauses a paused download or reads a caption, a finished or cancelled download still counted
    // as running, a failure shown as the user's pause (or the reverse), a paused download with a running speed, a
    // cancel that leaves the slots' texts behind.
    void eventsInEachState()
    {
        DownloadManager &e = startUp();
        DownloadView view;
        view.follow(e);
        const QByteArray data = add("a", 4 * P, m_slow.hostPort());
        QVERIFY(e.queue().startNow("a"));
        QTRY_VERIFY_WITH_TIMEOUT(e.status().received > P / 2, 10000);
        // Catches slot texts that stop following their slots (they show the last change of each turn of the
        // event loop): slot 1 in the middle of its pack says so, and once paused a change left over from before
        // the pause does not overwrite "Pause...".
        QTRY_COMPARE(view.display().label("Lbl_Status_w1"), QString("Downloading (500.00 Kb)..."));
        e.actionClicked();                                     // Running, click
        QVERIFY(e.status().speedNow == 0 && e.status().secondsLeft == -1);
        QCOMPARE(view.display().label("Lbl_Vitesse_I2"), QString("0 Kbit/s"));
        QCoreApplication::processEvents();
        QCOMPARE(view.display().label("Lbl_Status_w1"), QString("Pause..."));
        e.actionClicked();                                     // Paused, click
        QVERIFY(finishes("a", data));                          // Running, all in
        QCOMPARE(seen(), (QList<S>{S::Starting, S::Running, S::Paused, S::Running, S::Assembling, S::Finished}));
        e.actionClicked();                                     // Finished, click: nothing
        QVERIFY(seen().isEmpty() && !e.isDownloading());

        // The file changes on the server: failed, failed again on a resume, then cancelled.
        add("b", 4 * P, m_slow.hostPort());
        QVERIFY(e.queue().startNow("b"));
        QTRY_VERIFY_WITH_TIMEOUT(e.status().received > P / 2, 10000);
        e.actionClicked();
        QVERIFY(TextFile::write(served() + "b.bin", TestFiles::randomBytes(4 * P + 10, 99)));
        QSignalSpy failed(&e, &DownloadManager::downloadFailed);
        e.actionClicked();
        QVERIFY(failed.wait(10000));
        e.actionClicked();                                     // Failed, click
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 2, 10000);
        e.queue().cancel("b");                                 // Failed, cancel
        QCOMPARE(seen(), (QList<S>{S::Starting, S::Running, S::Paused, S::Running, S::Failed, S::Running, S::Failed, S::Idle}));
        QVERIFY(!e.isDownloading() && !QFileInfo::exists(dest() + "b"));
        for (int n = 1; n <= 4; ++n)
            QCOMPARE(view.display().label(QStringLiteral("Lbl_Status_w%1").arg(n)), QString("Nothing"));

        // Picked by the queue and cancelled before it began.
        add("c", 2 * P, m_slow.hostPort());
        e.queue().setTickInterval(400);
        e.queue().release();
        QTRY_COMPARE_WITH_TIMEOUT(e.state(), S::Starting, 5000);
        e.queue().cancel("c");                                 // Starting, cancel
        QCOMPARE(seen(), (QList<S>{S::Starting, S::Idle}));
        QVERIFY(e.store().entries().size() == 1 && e.store().finished().size() == 1);
    }

    // Faults: a server's "busy, come back in 1 s" taken for a failure, or not shown as a wait (nor left after it); a
    // server that takes two connections per address (503 to the others) stopping the download once the other slots
    // gave up.
    void busyServers()
    {
        DownloadManager &e = startUp();
        DownloadView view;
        view.follow(e);
        TestHttpServer site;
        QVERIFY(site.start());
        const QByteArray data = add("w", 2 * P, site.hostPort());
        site.serveFile(data, {.busy = {{0, 1}, {1, 1}}});
        QVERIFY(e.queue().startNow("w"));
        QTRY_COMPARE_WITH_TIMEOUT(e.state(), S::WaitingForServer, 5000);
        QCOMPARE(view.display().label("Lbl_Status_B"), QString("Waiting for the server..."));
        QTRY_VERIFY(view.display().label("Lbl_Status_w1").startsWith("Server busy: retrying in 1 s"));
        QVERIFY(finishes("w", data));
        QCOMPARE(seen(), (QList<S>{S::Starting, S::Running, S::WaitingForServer, S::Running, S::Assembling, S::Finished}));
        QCOMPARE(e.download()->slot(1).failuresTotal() + e.download()->slot(2).failuresTotal(), 0);

        const QByteArray two = add("two", 12 * P, site.hostPort());
        site.serveFile(two, {.bodyPiece = 64 * 1024, .pieceDelay = 20, .connections = 2});
        QVERIFY(e.queue().startNow("two"));
        QVERIFY(finishes("two", two));
        int resting = 0;
        for (int n = 1; n <= 4; ++n)
            resting += e.download()->slot(n).failuresTotal() >= TransferSlot::MaxFailedAttempts ? 1 : 0;
        QVERIFY(!seen().contains(S::Failed) && resting >= 1);
    }

    // Faults: a retry that goes on while paused (or a pause that keeps showing it), a retry wait not shown, the
    // attempts not started afresh at the resume.
    void pauseDuringRetryWait()
    {
        DownloadManager &e = startUp();
        QTcpServer closed;   // a port nobody listens on any more
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString gone = QStringLiteral("127.0.0.1:%1").arg(closed.serverPort());
        closed.close();
        add("gone", P, gone);
        e.setSlotTimeouts(3000, 2000);
        QVERIFY(e.queue().startNow("gone"));
        QTRY_VERIFY_WITH_TIMEOUT(e.status().retryingSlot() >= 0, 5000);
        const DownloadStatus::Slot waiting = e.status().perSlot[e.status().retryingSlot()];
        QVERIFY(waiting.attempt == 2 && waiting.retryInSeconds >= 1 && waiting.activity == SlotActivity::Retrying);
        e.actionClicked();
        QCOMPARE(e.state(), S::Paused);
        const auto opened = [&e] {
            int sum = 0;
            for (int n = 1; n <= 4; ++n)
                sum += e.download()->slot(n).connectionsOpened();
            return sum;
        };
        const int before = opened();
        QTest::qWait(2500);   // past the retry that was due
        QCOMPARE(opened(), before);
        for (const DownloadStatus::Slot &slot : e.status().perSlot)
            QVERIFY(slot.retryInSeconds == -1 && slot.activity == SlotActivity::Paused);
        e.actionClicked();
        QTRY_VERIFY_WITH_TIMEOUT(e.status().retryingSlot() >= 0, 5000);
        QCOMPARE(e.status().perSlot[e.status().retryingSlot()].attempt, 2);
        e.queue().cancel("gone");
    }

    // Faults: a cancel during the assembly that carries on (placing the file, leaving the folder or record behind).
    void cancelDuringAssembly()
    {
        DownloadManager &e = startUp();
        add("d", 2 * P + 5, m_slow.hostPort());
        connect(&e, &DownloadManager::stateChanged, this, [&e](S s) {
            if (s == S::Assembling)
                e.queue().cancel("d");
        });
        QVERIFY(e.queue().startNow("d"));
        QTRY_VERIFY_WITH_TIMEOUT(e.state() == S::Idle, 20000);
        QTest::qWait(300);
        QCOMPARE(seen(), (QList<S>{S::Starting, S::Running, S::Assembling, S::Idle}));
        QVERIFY(!QFileInfo::exists(dest() + "d.bin") && !QFileInfo::exists(dest() + "d") && !e.store().current());
    }

    // Faults: a state whose files a kill leaves unusable (a register ahead of its packs, a pack noted twice, a work
    // file taken for complete), a start-up that does not resume the project in progress.
    void killInEachStateThenStartUp_data()
    {
        QTest::addColumn<int>("state");
        for (auto [tag, s] : {std::pair{"starting", S::Starting}, {"running", S::Running}, {"paused", S::Paused},
                              {"failed", S::Failed}, {"assembling", S::Assembling}, {"finished", S::Finished}})
            QTest::newRow(tag) << int(s);
    }
    void killInEachStateThenStartUp()
    {
        QFETCH(int, state);
        const S at = S(state);
        const QString name = QStringLiteral("k%1").arg(state);
        DownloadManager &e = startUp();
        const QByteArray data = add(name, 5 * P + 77, m_slow.hostPort());
        const QString snapshot = m_bench.dir.path() + "/snapshot";
        if (at == S::Starting) {
            e.queue().setTickInterval(400);
            e.queue().release();
            QTRY_COMPARE_WITH_TIMEOUT(e.state(), S::Starting, 5000);
        } else if (at == S::Assembling) {
            // The disk as it is when the assembly begins.
            connect(&e, &DownloadManager::stateChanged, this, [&](S s) {
                if (s == S::Assembling) {
                    copyTree(home(), snapshot + "/home");
                    copyTree(dest(), snapshot + "/received");
                }
            });
            QVERIFY(e.queue().startNow(name));
            QVERIFY(finishes(name, data));
        } else {
            QVERIFY(e.queue().startNow(name));
            QTRY_VERIFY_WITH_TIMEOUT(e.status().received > 2 * P, 20000);
            if (at == S::Paused) {
                e.actionClicked();
            } else if (at == S::Failed) {
                e.actionClicked();
                QVERIFY(TextFile::write(served() + name + ".bin", "changed"));
                e.actionClicked();
                QTRY_COMPARE_WITH_TIMEOUT(e.state(), S::Failed, 10000);
                QVERIFY(TextFile::write(served() + name + ".bin", data));
            } else if (at == S::Finished) {
                QVERIFY(finishes(name, data));
            }
            QCOMPARE(e.state(), at);
        }
        kill();
        if (at == S::Assembling) {
            copyTree(snapshot + "/home", home());
            copyTree(snapshot + "/received", dest());
        }
        DownloadManager &again = startUp();
        if (at == S::Finished) {
            QVERIFY(!again.isDownloading() && again.store().finished().last().name == name);
            QCOMPARE(sha256(TextFile::read(dest() + name + ".bin")), sha256(data));
        } else {
            QCOMPARE(again.status().project, name);
            QVERIFY(finishes(name, data));
            QCOMPARE(TextFile::read(home() + "/projects/" + name + "/download.zov").count(":1\r\n"), 6);
        }
        QDir(snapshot).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestStates)
#include "test_states.moc"
