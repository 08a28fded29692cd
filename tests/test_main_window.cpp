// The main window through its real widgets: the controls and working parts that
// exist before start-up reads anything, the tab strip, and the list views that
// start-up fills from the project store.
#include "core/settings.h"
#include "core/text_file.h"
#include "app/ui/form1.h"
#include "display/ui/picture_box.h"
#include "engine/download_manager.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

class TestMainWindow : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir *m_dir = nullptr;
    QString home() const { return m_dir->path() + "/home"; }

    void writeProject(const QString &name, const QByteArray &url, const QByteArray &bytes, int status)
    {
        QDir().mkpath(home() + "/projects/" + name);
        QByteArray text = "url:" + url + "\r\nbytes:" + bytes + "\r\npath:/tmp/\r\npacksize:512000\r\n"
                          "showmodem:1\r\nType:0\r\nstatus:" + QByteArray::number(status) + "\r\n";
        QVERIFY(TextFile::write(home() + "/projects/" + name + "/project.zov", text));
    }

    // A configured program, so start-up shows no notice.
    void configure()
    {
        Settings::write("FilePath", home() + "/received/");
        Settings::write("packsize", "512000");
        Settings::write("modemspeed", "56");
    }

    static QStringList rowTexts(QTreeWidget *view, int row)
    {
        QTreeWidgetItem *it = view->topLevelItem(row);
        if (!it)
            return {};
        return {it->text(1), it->text(2), it->text(3), it->text(4)};
    }

    static bool sameIcon(const QIcon &a, const QIcon &b)
    {
        return a.pixmap(16, 16).toImage() == b.pixmap(16, 16).toImage();
    }

    static void closeMessageBoxes()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(w))
                box->close();
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
        closeMessageBoxes();
        delete m_dir;
    }

    void controlsExistBeforeStartUp()
    {
        Form1 w({});
        QCOMPARE(w.windowTitle(), QString("ZOV Kestra Download"));
        QCOMPARE(w.Mnu_Files->title(), QString("&Files"));
        const QList<QAction *> actions = w.Mnu_Files->actions();
        QCOMPARE(actions.size(), 3);
        QCOMPARE(actions[0]->text(), QString("Op&tions..."));
        QVERIFY(actions[1]->isSeparator());
        QCOMPARE(actions[2]->text(), QString("&Exit"));
        QCOMPARE(w.Menu->count(), 3);
        QCOMPARE(w.Menu->tabText(0), QString("About"));
        QCOMPARE(w.Menu->tabText(1), QString("Projects"));
        QCOMPARE(w.Menu->tabText(2), QString("Download"));

        // Initial captions of the visible controls.
        const QList<QPair<QString, QString>> captions = {
            {"Label12", "ZOV Kestra Download"}, {"Label11", "Version 2.0"},
            {"Label10", "Windows 95/98/ME/2000/XP"}, {"Label9", "New projects:"},
            {"Lbl_Status_H", "Nothing to do"}, {"Label3", "Total:"}, {"Lbl_Taille", "0 Bytes"},
            {"Label4", "Downloaded:"}, {"Lbl_Taille2", "0 Bytes"}, {"Label5", "Time left:"},
            {"Lbl_Time_R", "00:00:00"}, {"Label6", "Speed:"}, {"Lbl_Vitesse_MM", "0.00 Kb/s"},
            {"Label7", "Total:"}, {"Lbl_Paquet", "Nothing"}, {"Label8", "To download:"},
            {"Lbl_Paquet_2", "Nothing"}, {"Lbl_Time", "00:00:00"}, {"Lbl_Status_w1", "Nothing"},
            {"Lbl_Status_w4", "Nothing"}, {"Lbl_Status_B", "Nothing"}, {"Label1", "Immediate speed:"},
            {"Lbl_Vitesse_I", "0.00 Kb/s"}, {"Lbl_Vitesse_I2", "0.0 Kbits/s"},
            {"Label2", "Average speed:"}, {"Lbl_Vitesse_M", "0.00 Kb/s"}, {"Lbl_Vitesse_M2", "0.0 Kbits/s"}};
        for (const auto &[name, text] : captions) {
            auto *l = w.findChild<QLabel *>(name);
            QVERIFY2(l, qPrintable(name));
            QCOMPARE(l->text(), text);
        }
        QCOMPARE(w.Txt_Url->text(), QString("http://www."));
        QCOMPARE(w.Cmd_add->text(), QString("Add project"));
        QCOMPARE(w.Cmd_Action->text(), QString("Pause"));
        QCOMPARE(w.ChK_Start->text(), QString("On start, open automatically the tab named \"Projects\""));
        QCOMPARE(w.ChK_IEMenu->text(), QString("Creat a download shortcut in Internet Explorer menu"));
        QCOMPARE(w.CMD_Creer_fichier->text(), QString("Fichier !"));
        QCOMPARE(w.Chk_modem->text(), QString("Show modem capacity"));
        for (const char *name : {"Barre", "Barre1", "Barre2", "Barre3", "Barre4", "Graph", "Graph2", "Photo",
                                 "Photo2"})
            QVERIFY2(w.findChild<PictureBox *>(name), name);

        // Timers with their intervals; only the loader and the keep-alive run.
        const QList<std::tuple<QString, int, bool>> timers = {
            {"Timer_load", 100, true}, {"Timer_Connect", 5000, true}, {"Timer_Listen", 10000, false},
            {"Timer_Valide", 10, false}, {"Timer_Start_Download", 2000, false},
            {"Timer_FTP_1", 800, false}, {"Timer_FTP_2", 1000, false}, {"Timer_FTP_3", 1200, false},
            {"Timer_FTP_4", 1400, false}, {"Timer_Barre", 200, false}, {"Timer_Time", 1000, false},
            {"Timer_Speed", 1060, false}};
        for (const auto &[name, interval, running] : timers) {
            auto *t = w.findChild<QTimer *>(name);
            QVERIFY2(t, qPrintable(name));
            QCOMPARE(t->interval(), interval);
            QCOMPARE(t->isActive(), running);
        }
        // Sockets of the probe's neighbours, the slots and the listener.
        for (const char *name : {"Winsock1", "Winsock4", "WskF_1", "WskF_4", "WskF1", "WskF4", "Winsock_Listen"})
            QVERIFY2(w.findChild<QObject *>(name), name);
        // Working lists exist and are empty before anything is read.
        DownloadManager &e = w.engine();
        QVERIFY(e.store().Lst_Projects.isEmpty() && e.store().Lst_Project2.isEmpty());
        QVERIFY(e.run().Lst_Graph.isEmpty() && e.run().Lst_Recupe.isEmpty());
        QVERIFY(!QDir(home() + "/projects").exists());
    }

    void tabsShowTheirFrames()
    {
        Form1 w({});
        w.show();
        auto shown = [&w] {
            QStringList names;
            for (QGroupBox *g : {w.Frm_Infos, w.Frm_Infos2, w.Frm_Main, w.Frm_projects, w.Frm_Download,
                                 w.Frm_Graph})
                if (g->isVisible())
                    names << g->objectName();
            return names;
        };
        w.selectTab(1);
        QCOMPARE(shown(), QStringList({"Frm_Infos", "Frm_Infos2"}));
        w.selectTab(2);
        QCOMPARE(shown(), QStringList({"Frm_Main", "Frm_projects"}));
        w.selectTab(3);
        QCOMPARE(shown(), QStringList({"Frm_Download", "Frm_Graph"}));
        w.selectTab(2);
        w.selectTab(7);
        QCOMPARE(shown(), QStringList({"Frm_Download", "Frm_Graph"}));
        // A click on the strip itself.
        QTest::mouseClick(w.Menu, Qt::LeftButton, {}, w.Menu->tabRect(1).center());
        QCOMPARE(shown(), QStringList({"Frm_Main", "Frm_projects"}));
    }

    void startUpFillsTheListViews()
    {
        configure();
        // Finished, in progress, waiting, finished again: the in-progress row comes
        // first, the newest finished project is the top row of the finished list.
        writeProject("f1", "h/f1.zip", "1024", 2);
        writeProject("run", "h/run.zip", "1048576", 0);
        writeProject("wait", "h/wait.zip", "100", 1);
        writeProject("f2", "h/f2.zip", "2048", 2);
        QVERIFY(TextFile::write(home() + "/projects/main.zov", "f1\r\nrun\r\nwait\r\nf2\r\n"));
        Form1 w({});
        QSignalSpy done(&w, &Form1::startupFinished);
        w.show();
        QVERIFY(done.wait(5000));
        QCOMPARE(w.Lst_Main->columnCount(), 5);
        QCOMPARE(w.Lst_Main->headerItem()->text(1), QString("Project"));
        QCOMPARE(w.Lst_Main->headerItem()->text(4), QString("Status"));
        QCOMPARE(w.Lst_Main->topLevelItemCount(), 2);
        QCOMPARE(rowTexts(w.Lst_Main, 0), QStringList({"run", "h/run.zip", "1.02 Mb", "Downloading"}));
        QCOMPARE(rowTexts(w.Lst_Main, 1), QStringList({"wait", "h/wait.zip", "100 Bytes", "Waiting"}));
        QCOMPARE(w.Lst_Main2->topLevelItemCount(), 2);
        QCOMPARE(rowTexts(w.Lst_Main2, 0), QStringList({"f2", "h/f2.zip", "2.00 Kb", "Finished"}));
        QCOMPARE(rowTexts(w.Lst_Main2, 1), QStringList({"f1", "h/f1.zip", "1.00 Kb", "Finished"}));
        QVERIFY(sameIcon(w.Lst_Main->topLevelItem(0)->icon(0), w.ImageList[1]));
        QVERIFY(sameIcon(w.Lst_Main->topLevelItem(1)->icon(0), w.ImageList[2]));
        QVERIFY(sameIcon(w.Lst_Main2->topLevelItem(0)->icon(0), w.ImageList[0]));
        QVERIFY(!sameIcon(w.ImageList[0], w.ImageList[2]));
        // A project was in progress: the queue timer stays off for the resume.
        QVERIFY(w.engine().store().Recuperation);
        QVERIFY(!w.engine().Timer_Start_Download->isActive());
        QCOMPARE(w.engine().run().Lst_Graph, QStringList(QList<QString>(50, "0")));
        QCOMPARE(w.engine().run().Lst_Graph2.size(), 50);
    }

    void checkBoxesRestoredWithoutWriting()
    {
        configure();
        Settings::write("Tray", "0");
        Settings::write("OnStartTab", "1");
        const QByteArray before = TextFile::read(Settings::filePath());
        Form1 w({});
        QSignalSpy done(&w, &Form1::startupFinished);
        w.show();
        QVERIFY(done.wait(5000));
        QVERIFY(!w.ChK_Tray->isChecked());
        QVERIFY(!w.Tray_Mode);
        QVERIFY(w.ChK_Start->isChecked());
        QVERIFY(!w.ChK_Startwindows->isChecked());
        QCOMPARE(w.Menu->currentIndex(), 1); // "Projects"
        QVERIFY(w.engine().Timer_Start_Download->isActive());
        // Only "AppPath" was added.
        QSettings s(Settings::filePath(), QSettings::IniFormat);
        QCOMPARE(s.value("options/AppPath").toString(), home());
        QCOMPARE(s.value("options/Tray").toString(), QString("0"));
        QCOMPARE(s.value("options/OnStartTab").toString(), QString("1"));
        s.remove("options/AppPath");
        s.sync();
        QCOMPARE(TextFile::read(Settings::filePath()), before);
        // The user's own click does write.
        w.ChK_Tray->click();
        QCOMPARE(Settings::read("Tray", "?"), QString("1"));
        w.ChK_Start->click();
        QCOMPARE(Settings::read("OnStartTab", "?"), QString("0"));
        // Every bar was painted at 0 % by start-up.
        QVERIFY(w.engine().display().bar("Barre3").painted);
    }

    void startwinStartsMinimized_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("minimized");
        QTest::newRow("exact") << QStringList{"-Startwin-"} << true;
        QTest::newRow("other case") << QStringList{"-startwin-"} << false;
        QTest::newRow("other text") << QStringList{"-Startwin-", "x"} << false;
        QTest::newRow("none") << QStringList{} << false;
    }

    void startwinStartsMinimized()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, minimized);
        configure();
        Settings::write("Tray", "0");
        Form1 w(arguments);
        QSignalSpy done(&w, &Form1::startupFinished);
        w.show();
        QVERIFY(done.wait(5000));
        QCOMPARE(w.isMinimized(), minimized);
    }

    void optionsRefusedDuringADownload()
    {
        configure();
        Form1 w({});
        QSignalSpy done(&w, &Form1::startupFinished);
        w.show();
        QVERIFY(done.wait(5000));
        w.engine().store().Lst_Projects_En_Cours << "busy";
        w.Mnu_Options->trigger();
        QMessageBox *box = nullptr;
        for (QWidget *t : QApplication::topLevelWidgets())
            if (auto *b = qobject_cast<QMessageBox *>(t); b && b->isVisible())
                box = b;
        QVERIFY(box);
        QCOMPARE(box->text(), QString("You cannot access to this menu during a download !"));
        QCOMPARE(box->windowTitle(), QString("ZOV Kestra download"));
        QVERIFY(!w.optionsDialog());
        QVERIFY(w.isEnabled());
        w.engine().store().Lst_Projects_En_Cours.clear();
        w.Mnu_Options->trigger();
        QVERIFY(w.optionsDialog());
        QVERIFY(!w.isEnabled());
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
