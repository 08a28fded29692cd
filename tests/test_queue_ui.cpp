// The queue through the real main window: waiting projects are taken by the queue
// timer in turn, downloaded with the Download tab shown, and end under "Finished".
#include "gui/form1.h"
#include "core/winsock.h"
#include "engine/http_slot.h"
#include "core/text_file.h"
#include "support/engine_bench.h"
#include "support/ftp_server.h"
#include "support/nginx_server.h"
#include "support/test_home.h"
#include "support/window_start.h"

#include <QtTest>
#include <QtWidgets>

class TestQueueUi : public QObject
{
    Q_OBJECT
    // The program's folders and settings under root, files served from root + "/www", received in root + "/in/".
    static bool configure(const QString &root)
    {
        useOwnHome(root);
        return QDir().mkpath(root + "/www");
    }

private slots:
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
        const QByteArray data = TestFiles::randomBytes(4000000, 3);
        QVERIFY(TextFile::write(www + "/c.bin", data));
        NginxServer nginx;
        nginx.setRateLimit(200000);
        QVERIFY2(nginx.start(www), qPrintable(nginx.lastError()));
        const QString url = nginx.hostPort() + "/c.bin";
        QByteArray timeFile;
        {
            Form1 w({});
            QVERIFY(startUp(w));
            DownloadManager &e = w.engine();
            QVERIFY(queueProject(e, "c", url, data.size()));
            e.queue().setTickInterval(50);
            QTRY_VERIFY_WITH_TIMEOUT(e.status().secondsElapsed >= 2, 20000);
            QSignalSpy ended(&w, &Form1::shutdownFinished);
            int busy = 0;
            for (int n = 1; n <= 4; ++n)
                busy += e.download()->slot(n).isBusy() ? 1 : 0;
            QVERIFY(busy > 0 && w.close() && ended.size() == 1);
            QWidget *form5 = nullptr;
            for (QWidget *top : QApplication::topLevelWidgets())
                if (top->objectName() == "Form5")
                    form5 = top;
            QVERIFY(form5 && form5->isVisible() && !form5->close() && form5->isVisible() && !w.isEnabled());
            for (int n = 1; n <= 4; ++n)
                QVERIFY(e.download()->slot(n).socket()->State() == 0);
            QCOMPARE(TextFile::read(projects + "/c/download.zov").count(":0\r\n"), busy);
            timeFile = TextFile::read(projects + "/c/infos.zov");
            QCOMPARE(timeFile, "sec:" + QByteArray::number(e.status().secondsElapsed) + "\r\nmin:0\r\nh:0\r\n");
        }
        // Started again, even with an option missing: the download goes on at once.
        QSettings(Settings::filePath(), QSettings::IniFormat).remove("options/modemspeed");
        Form1 w({});
        QVERIFY(startUp(w));
        DownloadManager &e = w.engine();
        QVERIFY(e.isDownloading() && e.status().received > 0);
        QCOMPARE("sec:" + QByteArray::number(e.status().secondsElapsed) + "\r\nmin:0\r\nh:0\r\n", timeFile);
        QVERIFY(!visibleMessageBox());
        QVERIFY(!TextFile::read(projects + "/c/download.zov").contains(":0\r\n"));
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        QVERIFY(finished.wait(30000));
        QVERIFY(TextFile::read(dest + "c.bin") == data);
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

    // Catches wrong enabled states of the project menu, a move that loses the order of the lists or the list file, a
    // cancel that stops the wrong download, leaves files or sockets behind (FTP slots included), deletes a folder of
    // the user's that has the project's name, or does not hand the queue to the next project; the tabs not switched,
    // and the window not back at rest once the queue is empty.
    void projectMenuMovesAndCancels()
    {
        QTemporaryDir dir;
        const QString www = dir.path() + "/www", dest = dir.path() + "/in/", projects = dir.path() + "/home/projects/";
        QVERIFY(configure(dir.path()));
        const QByteArray big(3000000, 'r'), small(600001, 's');
        for (auto [name, data] : {std::pair{"r", &big}, {"f", &big}, {"w", &small}, {"x", &small}})
            QVERIFY(TextFile::write(www + "/" + name + ".bin", *data));
        for (const char *name : {"r", "f"})   // folders of the user's with the projects' names
            QVERIFY(QDir().mkpath(dest + name) && TextFile::write(dest + name + "/notes.txt", name));
        NginxServer nginx;
        nginx.setRateLimit(100000);
        QVERIFY2(nginx.start(www), qPrintable(nginx.lastError()));
        FtpServer ftp;
        QVERIFY2(ftp.start(www, {"--throttle=100000"}), qPrintable(ftp.lastError()));
        Form1 w({});
        QVERIFY(startUp(w));
        DownloadManager &e = w.engine();
        e.queue().hold();
        for (auto [name, host, ftpType, size] : {std::tuple{"r", nginx.hostPort(), false, big.size()},
                                                 {"f", ftp.baseUrl(), true, big.size()},
                                                 {"w", nginx.hostPort(), false, small.size()},
                                                 {"x", nginx.hostPort(), false, small.size()}}) {
            QVERIFY(queueProject(e, name, host + "/" + name + ".bin", size, ftpType));
        }
        QSignalSpy started(&e, &DownloadManager::projectStarted);
        QSignalSpy tabs(&e, &DownloadManager::tabRequested);
        e.queue().setTickInterval(50);
        e.queue().release();
        QTRY_VERIFY_WITH_TIMEOUT(e.isDownloading() && e.status().received > 0, 10000);
        const auto menuOn = [&](int row) {
            w.Lst_Main->setCurrentItem(w.Lst_Main->topLevelItem(row - 1));
            emit w.Lst_Main->customContextMenuRequested(w.Lst_Main->visualItemRect(w.Lst_Main->topLevelItem(row - 1)).center());
            w.Mnu_Pas_Finit->hide();
            return QList<bool>{w.Mnu_Haut->isEnabled(), w.Mnu_Bas->isEnabled(), w.Mnu_Cancel->isEnabled()};
        };
        QCOMPARE(menuOn(1), (QList<bool>{false, false, true}));
        QCOMPARE(menuOn(2), (QList<bool>{false, true, true}));
        QCOMPARE(menuOn(4), (QList<bool>{true, false, true}));
        const auto names = [&] {
            QStringList rows;
            for (int i = 0; i < w.Lst_Main->topLevelItemCount(); ++i)
                rows << w.Lst_Main->topLevelItem(i)->text(1);
            QStringList urls, sizes;
            for (const ProjectEntry &p : e.store().waiting()) {
                urls << QFileInfo(p.url).baseName();
                sizes << QString::number(p.bytes);
            }
            return rows.join(' ') + " | " + urls.join(' ') + " | " + sizes.join(' ') + " | "
                   + QString::fromUtf8(TextFile::read(projects + "main.zov"));
        };
        menuOn(3);
        w.Mnu_Haut->trigger();
        QCOMPARE(names(), "r w f x | w f x | 600001 3000000 600001 | r\r\nw\r\nf\r\nx\r\n");
        QCOMPARE(w.Lst_Main->currentItem()->text(1), QString("w"));
        menuOn(2);
        w.Mnu_Bas->trigger();
        QCOMPARE(names(), "r f w x | f w x | 3000000 600001 600001 | r\r\nf\r\nw\r\nx\r\n");
        QCOMPARE(w.Lst_Main->currentItem()->text(1), QString("w"));

        const auto cancelRow = [&](int row) {
            menuOn(row);
            w.Mnu_Cancel->trigger();
            QMessageBox *box = visibleMessageBox();
            QVERIFY(box && box->windowTitle() == "Cancel ?");
            box->button(QMessageBox::Yes)->click();
        };
        // The tray menu pauses and resumes as the action button does.
        QVERIFY(w.Mnu_Action->isEnabled() && w.Mnu_Action->text() == "Pause");
        w.Mnu_Action->trigger();
        QVERIFY(e.isPaused() && w.Mnu_Action->text() == "Resume" && w.Cmd_Action->text() == "Resume");
        w.Mnu_Action->trigger();
        QVERIFY(!e.isPaused() && w.Mnu_Action->text() == "Pause");
        // A waiting project goes; the download goes on.
        const qint64 before = e.status().received;
        cancelRow(4);
        QVERIFY(!QFile::exists(projects + "x") && names().endsWith("r\r\nf\r\nw\r\n"));
        QTRY_VERIFY_WITH_TIMEOUT(e.status().received > before, 10000);
        QVERIFY(e.isDownloading() && e.status().project == "r");
        // The running projects go, HTTP then FTP, each with both its folders;
        // the queue starts the next one.
        for (const char *name : {"r", "f"}) {
            QTRY_VERIFY_WITH_TIMEOUT(e.isDownloading() && e.status().project == name && e.status().received > 0, 15000);
            const QString own = dest + name + " (1)";
            QVERIFY(QFile::exists(own));
            // Every connection of the project goes with its download.
            QPointer<const Download> running = e.download();
            cancelRow(1);
            QVERIFY(!e.isDownloading() && !QFile::exists(own) && !QFile::exists(projects + name));
            QCOMPARE(QDir(dest + name).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"notes.txt"});
            QCOMPARE(TextFile::read(dest + name + "/notes.txt"), QByteArray(name));
            QVERIFY(!TextFile::read(projects + "main.zov").contains(QByteArray(name) + "\r\n"));
            QTRY_VERIFY(running.isNull() && !e.download());
        }
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.at(0).at(0), QVariant("w"));
        QVERIFY(TextFile::read(dest + "w.bin") == small);
        QCOMPARE(started.size(), 3);
        QCOMPARE(tabs, (QList<QVariantList>{{3}, {3}, {3}, {2}}));
        QVERIFY(w.Lst_Main->topLevelItemCount() == 0 && w.Lst_Main2->topLevelItemCount() == 1);
        QVERIFY(w.Menu->currentIndex() == 1 && !w.Cmd_Action->isEnabled() && w.windowTitle() == "ZOV Kestra Download"
                && w.label("Lbl_Status_w1")->text() == "Nothing");
        ftp.stop();
        nginx.stop();
    }
};

QTEST_MAIN(TestQueueUi)
#include "test_queue_ui.moc"
