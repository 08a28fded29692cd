// Start-up on a clean machine and on a configured one, through the real main
// window; and the single-instance rule, through the real executable.
#include "core/program_folder.h"
#include "core/settings.h"
#include "app/ui/form1.h"
#include "app/ui/form6.h"

#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestStartup : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir *m_dir = nullptr;
    QString home() const { return m_dir->path() + "/home"; }

    static QMessageBox *visibleMessageBox()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *b = qobject_cast<QMessageBox *>(w); b && b->isVisible())
                return b;
        return nullptr;
    }

    QProcessEnvironment env() const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("ZOV_KESTRA_HOME", home());
        e.insert("XDG_CONFIG_HOME", m_dir->path() + "/config");
        e.insert("QT_QPA_PLATFORM", "offscreen");
        return e;
    }

private slots:
    void init()
    {
        m_dir = new QTemporaryDir;
        QDir().mkpath(home());
        qputenv("ZOV_KESTRA_HOME", home().toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_dir->path() + "/config").toUtf8());
        Settings::setApplicationName("zov-kestra-download");
    }

    void cleanup()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox *>(w))
                w->close();
        delete m_dir;
    }

    void cleanMachineAsksForOptions()
    {
        Form1 w({});
        w.show();
        // Watch, event by event, for the moment the notice appears.
        bool loadingSeen = false;
        bool loadingGoneAtNotice = false;
        bool optionsOpenAtNotice = true;
        QMessageBox *notice = nullptr;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (w.loadingWindow() && w.loadingWindow()->isVisible())
                loadingSeen = true;
            if (!notice && (notice = visibleMessageBox())) {
                loadingGoneAtNotice = !w.loadingWindow() || !w.loadingWindow()->isVisible();
                optionsOpenAtNotice = w.optionsDialog() != nullptr;
            }
        });
        watch.start(0);
        QTRY_VERIFY_WITH_TIMEOUT(notice != nullptr, 5000);
        watch.stop();
        QVERIFY(loadingGoneAtNotice);
        QVERIFY(!optionsOpenAtNotice);
        Q_UNUSED(loadingSeen);
        QCOMPARE(notice->windowTitle(), QString("ZOV Kestra Download"));
        QCOMPARE(notice->text(), QString("ZOV Kestra Download has detected that you have not configured your "
                                         "options. Please config them before downloading !"));
        QCOMPARE(notice->icon(), QMessageBox::Information);
        QVERIFY(w.Options_Missing);
        QVERIFY(QDir(home() + "/projects").exists());
        QCOMPARE(Settings::read("AppPath", "?"), home());
        notice->button(QMessageBox::Ok)->click();
        QTRY_VERIFY(w.optionsDialog() != nullptr);
        QVERIFY(w.optionsDialog()->isVisible());
        QVERIFY(!w.isEnabled());
    }

    void configuredMachineShowsNoNotice()
    {
        Settings::write("FilePath", home() + "/received/");
        Settings::write("packsize", "512000");
        Settings::write("modemspeed", "56");
        Form1 w({});
        QSignalSpy done(&w, &Form1::startupFinished);
        w.show();
        QVERIFY(done.wait(5000));
        QTest::qWait(50);
        QVERIFY(!w.Options_Missing);
        QVERIFY(!visibleMessageBox());
        QVERIFY(!w.optionsDialog());
        QVERIFY(w.isEnabled());
        // One missing key is enough to count as not configured.
        QSettings s(Settings::filePath(), QSettings::IniFormat);
        s.remove("options/modemspeed");
        s.sync();
        Form1 w2({});
        QSignalSpy done2(&w2, &Form1::startupFinished);
        w2.show();
        QVERIFY(done2.wait(5000));
        QVERIFY(w2.Options_Missing);
    }

    void loadingWindowRefusesToClose()
    {
        Form6 f;
        f.show();
        QVERIFY(!f.close());
        QVERIFY(f.isVisible());
        f.Stop_Now = true;
        QVERIFY(f.close());
    }

    void secondCopyEnds()
    {
        const QString exe = QStringLiteral(ZK_BINARY_DIR "/zov-kestra-download");
        QVERIFY2(QFileInfo::exists(exe), "build the program first");
        QProcess first;
        first.setProcessEnvironment(env());
        first.start(exe, {"-Startwin-"});
        QVERIFY(first.waitForStarted());
        // Wait until the first copy holds the lock (it writes AppPath at start-up).
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_dir->path() + "/config/zov-kestra-download.lock"), 10000);

        // Started by the session (with -Startwin-): ends without a word.
        QProcess quiet;
        quiet.setProcessEnvironment(env());
        quiet.start(exe, {"-Startwin-"});
        QVERIFY(quiet.waitForFinished(10000));
        QVERIFY(quiet.exitCode() != 0);
        QVERIFY(!quiet.readAllStandardError().contains("twice"));

        // Started by hand: says why, then ends when the message is dismissed.
        QProcess loud;
        loud.setProcessEnvironment(env());
        loud.start(exe, {});
        QVERIFY(loud.waitForStarted());
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += loud.readAllStandardError())
                                     .contains("You cannot open ZOV Kestra Download twice at the same time !"),
                                 10000);
        loud.kill();
        loud.waitForFinished();

        QVERIFY(first.state() == QProcess::Running);
        first.terminate();
        if (!first.waitForFinished(5000)) {
            first.kill();
            first.waitForFinished();
        }
    }
};

QTEST_MAIN(TestStartup)
#include "test_startup.moc"
