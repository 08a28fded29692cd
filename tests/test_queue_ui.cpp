// The queue through the real main window: a waiting project is taken by the
// queue timer, downloads with the Download tab shown, and ends under "Finished".
#include "core/settings.h"
#include "app/ui/form1.h"
#include "engine/download_manager.h"
#include "projects/project_file.h"
#include "support/nginx_server.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

class TestQueueUi : public QObject
{
    Q_OBJECT
private slots:
    void waitingProjectsRunInTurn()
    {
        QTemporaryDir dir;
        const QString home = dir.path() + "/home", www = dir.path() + "/www", dest = dir.path() + "/in/";
        QDir().mkpath(home + "/projects");
        QDir().mkpath(www);
        qputenv("ZOV_KESTRA_HOME", home.toUtf8());
        qputenv("XDG_CONFIG_HOME", (dir.path() + "/config").toUtf8());
        Settings::setApplicationName("zov-kestra-download");
        Settings::write("FilePath", dest);
        Settings::write("packsize", "512000");
        Settings::write("modemspeed", "56");
        Settings::write("Tray", "0");
        QByteArray a(1300000, 'a'), b(700001, 'b');
        for (int i = 0; i < a.size(); i += 997)
            a[i] = char(i);
        for (auto [name, data] : {std::pair{"a.bin", &a}, std::pair{"b.bin", &b}}) {
            QFile f(www + "/" + name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(*data);
        }
        NginxServer nginx;
        QVERIFY2(nginx.start(www), qPrintable(nginx.lastError()));

        Form1 w({});
        QSignalSpy ready(&w, &Form1::startupFinished);
        w.show();
        QVERIFY(ready.wait(5000));
        DownloadManager &e = w.engine();
        for (const char *name : {"a", "b"}) {
            const QString url = nginx.hostPort() + "/" + name + ".bin";
            const qint64 size = QString(name) == "a" ? a.size() : b.size();
            QVERIFY(e.store().addNewProject(name, ProjectFile::build(ProjectFile::fromSettings(url, size, false)),
                                            url, size));
        }
        QCOMPARE(w.Lst_Main->topLevelItemCount(), 2);
        e.Timer_Start_Download->setInterval(50);
        QSignalSpy started(&e, &DownloadManager::projectStarted);
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        QSignalSpy tabs(&e, &DownloadManager::tabRequested);
        QSignalSpy action(&e, &DownloadManager::actionEnabledChanged);
        QVERIFY(started.wait(5000));
        // Taken: the running project is the first row.
        QCOMPARE(w.Lst_Main->topLevelItem(0)->text(4), QString("Downloading"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 30000);
        // Each start showed the Download tab and enabled the action button; each
        // completion went back to the Projects tab.
        QList<int> shown;
        for (const QList<QVariant> &t : tabs)
            shown << t.at(0).toInt();
        QCOMPARE(shown, QList<int>({3, 2, 3, 2}));
        QVERIFY(action.contains(QList<QVariant>{true}));
        QCOMPARE(finished.at(0).at(0).toString(), QString("a"));
        QCOMPARE(finished.at(1).at(0).toString(), QString("b"));
        auto sha = [](const QString &path) {
            QFile f(path);
            return f.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256)
                                               : QByteArray();
        };
        QCOMPARE(sha(dest + "a.bin"), QCryptographicHash::hash(a, QCryptographicHash::Sha256));
        QCOMPARE(sha(dest + "b.bin"), QCryptographicHash::hash(b, QCryptographicHash::Sha256));
        // Both under "Finished", newest first; the window is back at rest.
        QCOMPARE(w.Lst_Main->topLevelItemCount(), 0);
        QCOMPARE(w.Lst_Main2->topLevelItemCount(), 2);
        QCOMPARE(w.Lst_Main2->topLevelItem(0)->text(1), QString("b"));
        QCOMPARE(w.Lst_Main2->topLevelItem(1)->text(4), QString("Finished"));
        QCOMPARE(w.windowTitle(), QString("ZOV Kestra Download"));
        QCOMPARE(w.Menu->currentIndex(), 1);
        QVERIFY(!w.Cmd_Action->isEnabled());
        QCOMPARE(w.label("Lbl_Status_w1")->text(), QString("Nothing"));
        nginx.stop();
    }
};

QTEST_MAIN(TestQueueUi)
#include "test_queue_ui.moc"
