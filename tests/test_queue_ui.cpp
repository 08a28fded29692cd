// The queue through the real main window: waiting projects are taken by the queue
// timer in turn, downloaded with the Download tab shown, and end under "Finished".
#include "core/settings.h"
#include "app/ui/form1.h"
#include "core/winsock.h"
#include "engine/download_manager.h"
#include "engine/http_slot.h"
#include "core/text_file.h"
#include "projects/project_file.h"
#include "support/nginx_server.h"

#include <QtTest>
#include <QtWidgets>

class TestQueueUi : public QObject
{
    Q_OBJECT
    // A program folder, settings and served folder ("www") under root; the
    // received files go to root + "/in/".
    static bool configure(const QString &root)
    {
        qputenv("ZOV_KESTRA_HOME", (root + "/home").toUtf8());
        qputenv("XDG_CONFIG_HOME", (root + "/config").toUtf8());
        Settings::setApplicationName("zov-kestra-download");
        for (auto [key, value] : {std::pair{"FilePath", root + "/in/"}, {"packsize", "512000"}, {"modemspeed", "56"}, {"Tray", "0"}})
            Settings::write(key, value);
        return QDir().mkpath(root + "/www");
    }

private slots:
    // Catches projects taken out of order or twice, a file assembled wrong, the
    // tabs not switched, and the window not back at rest afterwards.
    void waitingProjectsRunInTurn()
    {
        QTemporaryDir dir;
        const QString www = dir.path() + "/www", dest = dir.path() + "/in/";
        QVERIFY(configure(dir.path()));
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

    // Catches a close that leaves the project "Downloading" for ever: packs in
    // progress not noted ":0", the time file not written (or its values lost
    // at the next start), the options prompt in the way of the resumed
    // download, a wrong byte after the restart; and a close with nothing
    // running that still writes project files.
    void closedDuringADownloadResumesAtNextStart()
    {
        QTemporaryDir dir;
        const QString www = dir.path() + "/www", dest = dir.path() + "/in/", projects = dir.path() + "/home/projects";
        QVERIFY(configure(dir.path()));
        QByteArray data(4000000, 0);
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(i * 7 + i / 4093);
        QFile f(www + "/c.bin");
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(data) == data.size());
        f.close();
        NginxServer nginx;
        nginx.setRateLimit(200000);
        QVERIFY2(nginx.start(www), qPrintable(nginx.lastError()));
        const QString url = nginx.hostPort() + "/c.bin";
        QByteArray timeFile;
        {
            Form1 w({});
            QSignalSpy ready(&w, &Form1::startupFinished);
            w.show();
            QVERIFY(ready.wait(5000));
            DownloadManager &e = w.engine();
            QVERIFY(e.store().addNewProject("c", ProjectFile::build(ProjectFile::fromSettings(url, data.size(), false)),
                                            url, data.size()));
            e.Timer_Start_Download->start(50);
            QTRY_VERIFY_WITH_TIMEOUT(e.run().Temps_S >= 2, 20000);
            QSignalSpy ended(&w, &Form1::shutdownFinished);
            int busy = 0;
            for (int n = 1; n <= 4; ++n)
                busy += e.slot(n).isBusy() ? 1 : 0;
            QVERIFY(busy > 0 && w.close() && ended.size() == 1);
            QWidget *form5 = nullptr;
            for (QWidget *top : QApplication::topLevelWidgets())
                if (top->objectName() == "Form5")
                    form5 = top;
            QVERIFY(form5 && form5->isVisible() && !form5->close() && form5->isVisible() && !w.isEnabled());
            for (int n = 1; n <= 4; ++n)
                QVERIFY(e.slot(n).socket()->State() == 0);
            QCOMPARE(TextFile::read(projects + "/c/download.zov").count(":0\r\n"), busy);
            timeFile = TextFile::read(projects + "/c/infos.zov");
            QCOMPARE(timeFile, "sec:" + QByteArray::number(e.run().Temps_S) + "\r\nmin:0\r\nh:0\r\n");
        }
        // Started again, even with an option missing: the download goes on at once.
        QSettings(Settings::filePath(), QSettings::IniFormat).remove("options/modemspeed");
        Form1 w({});
        QSignalSpy ready(&w, &Form1::startupFinished);
        w.show();
        QVERIFY(ready.wait(5000));
        DownloadManager &e = w.engine();
        QVERIFY(e.run().Downloading && e.run().Taille_Reprise > 0);
        QCOMPARE("sec:" + QByteArray::number(e.run().Temps_S) + "\r\nmin:0\r\nh:0\r\n", timeFile);
        for (QWidget *top : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<QMessageBox *>(top) || !top->isVisible());
        QVERIFY(!TextFile::read(projects + "/c/download.zov").contains(":0\r\n"));
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        QVERIFY(finished.wait(30000));
        QCOMPARE(QCryptographicHash::hash(TextFile::read(dest + "c.bin"), QCryptographicHash::Sha256),
                 QCryptographicHash::hash(data, QCryptographicHash::Sha256));
        // Nothing runs now: closing leaves every project file as it was.
        const auto files = [&projects] {
            QStringList list;
            QDirIterator it(projects, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QFileInfo fi(it.next());
                list << fi.filePath() + QString::number(fi.size()) + fi.lastModified().toString(Qt::ISODateWithMs);
            }
            return list;
        };
        const QStringList before = files();
        QVERIFY(w.close());
        QCOMPARE(files(), before);
        nginx.stop();
    }
};

QTEST_MAIN(TestQueueUi)
#include "test_queue_ui.moc"
