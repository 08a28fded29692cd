// The queue through the real main window: waiting projects are taken by the queue
// timer in turn, downloaded with the Download tab shown, and end under "Finished".
#include "core/settings.h"
#include "app/ui/form1.h"
#include "engine/download_manager.h"
#include "projects/project_file.h"
#include "support/nginx_server.h"

#include <QtTest>
#include <QtWidgets>

class TestQueueUi : public QObject
{
    Q_OBJECT
private slots:
    // Catches projects taken out of order or twice, a file assembled wrong, the
    // tabs not switched, and the window not back at rest afterwards.
    void waitingProjectsRunInTurn()
    {
        QTemporaryDir dir;
        const QString www = dir.path() + "/www", dest = dir.path() + "/in/";
        QVERIFY(QDir().mkpath(www));
        qputenv("ZOV_KESTRA_HOME", (dir.path() + "/home").toUtf8());
        qputenv("XDG_CONFIG_HOME", (dir.path() + "/config").toUtf8());
        Settings::setApplicationName("zov-kestra-download");
        for (auto [key, value] : {std::pair{"FilePath", dest}, {"packsize", "512000"}, {"modemspeed", "56"}, {"Tray", "0"}})
            Settings::write(key, value);
        QByteArray a(1300000, 'a'), b(700001, 'b');
        for (int i = 0; i < a.size(); i += 997)
            a[i] = char(i);
        NginxServer nginx;
        QVERIFY2(nginx.start(www), qPrintable(nginx.lastError()));
        Form1 w({});
        QSignalSpy ready(&w, &Form1::startupFinished);
        w.show();
        QVERIFY(ready.wait(5000));
        DownloadManager &e = w.engine();
        e.Timer_Start_Download->stop();
        for (auto [name, data] : {std::pair{"a", &a}, std::pair{"b", &b}}) {
            QFile f(www + "/" + name + ".bin");
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(*data) == data->size());
            const QString url = nginx.hostPort() + "/" + name + ".bin";
            QVERIFY(e.store().addNewProject(name, ProjectFile::build(ProjectFile::fromSettings(url, data->size(), false)),
                                            url, data->size()));
        }
        e.Timer_Start_Download->start(50);
        QSignalSpy started(&e, &DownloadManager::projectStarted);
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        QSignalSpy tabs(&e, &DownloadManager::tabRequested);
        QSignalSpy action(&e, &DownloadManager::actionEnabledChanged);
        QVERIFY(started.wait(5000));
        QCOMPARE(w.Lst_Main->topLevelItem(0)->text(4), QString("Downloading"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 30000);
        QCOMPARE(tabs, (QList<QVariantList>{{3}, {2}, {3}, {2}}));
        QVERIFY(finished.at(0).at(0) == "a" && finished.at(1).at(0) == "b" && action.contains({true}));
        for (auto [name, data] : {std::pair{"a", &a}, std::pair{"b", &b}}) {
            QFile f(dest + name + ".bin");
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256),
                     QCryptographicHash::hash(*data, QCryptographicHash::Sha256));
        }
        QVERIFY(w.Lst_Main->topLevelItemCount() == 0 && w.Lst_Main2->topLevelItemCount() == 2);
        QVERIFY(w.Menu->currentIndex() == 1 && !w.Cmd_Action->isEnabled() && w.windowTitle() == "ZOV Kestra Download"
                && w.label("Lbl_Status_w1")->text() == "Nothing");
        nginx.stop();
    }
};

QTEST_MAIN(TestQueueUi)
#include "test_queue_ui.moc"
