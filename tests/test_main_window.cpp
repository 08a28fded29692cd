// The main window through its real widgets (the statistics window and the finished projects' menu
// included), and the single-instance rule through the real executable.
#include "core/settings.h"
#include "core/text_file.h"
#include "core/url_hand_off.h"
#include "gui/form1.h"
#include "engine/download_manager.h"
#include "gui/notifier.h"
#include "gui/picture_box.h"
#include "gui/stats.h"
#include "projects/project_file.h"
#include "support/engine_bench.h"
#include "support/nginx_server.h"
#include "support/test_home.h"
#include "support/window_start.h"
#include "view/display_model.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

// Keeps what the window would have shown on the desktop.
class NoticeBoard : public Notifier
{
public:
    QStringList notices;
    void notify(const QString &title, const QString &body) override { notices << title + '|' + body; }
};

// Keeps the addresses the window hands to the desktop's programs.
class DesktopStandIn : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

// At a device pixel ratio of 2, a picture painted at the window's size and scaled up is made of 2 x 2 blocks.
static bool sharp(const QImage &shot)
{
    for (int y = 0; y + 1 < shot.height(); y += 2)
        for (int x = 0; x + 1 < shot.width(); x += 2)
            if (shot.pixel(x, y) != shot.pixel(x + 1, y) || shot.pixel(x, y) != shot.pixel(x, y + 1))
                return true;
    return shot.devicePixelRatio() < 2;
}

class TestMainWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir *m_dir = nullptr;
    QString home() const { return m_dir->path() + "/home"; }
    QString folder(const QString &name) const { return home() + "/projects/" + name + "/"; }

    // A project as the store keeps it, listed last; its address is "127.0.0.1:1/<name>.iso", where nobody listens.
    void addProject(const QString &name, qint64 bytes, int status)
    {
        QVERIFY(QDir().mkpath(folder(name))
                && TextFile::write(folder(name) + "project.zov",
                                   ProjectFile::build({.url = "127.0.0.1:1/" + name + ".iso", .bytes = bytes,
                                                       .path = m_dir->path() + "/in/", .status = status}))
                && TextFile::appendLine(home() + "/projects/main.zov", name.toUtf8()));
    }
    // A finished project with n1 snapshots of graph 1 and n2 of graph 2, each a colour whose hue is 30 x its number.
    void addFinished(const QString &name, int n1, int n2)
    {
        addProject(name, 2048, 2);
        for (int n = 0; n < qMax(n1, n2); ++n) {
            QImage picture(60, 20, QImage::Format_RGB32);
            picture.fill(QColor::fromHsv(n * 30, 255, 255));
            for (int g : {1, 2})
                QVERIFY(n >= (g == 1 ? n1 : n2) || picture.save(folder(name) + QString("%1(%2_%3).jpg").arg(name).arg(g).arg(n)));
        }
    }
    // The snapshot numbers the three images show (-1 for an empty one), read in their corners (no band there).
    static QList<int> shown(QLabel *const (&pictures)[3])
    {
        QList<int> numbers;
        for (const QImage &i : {pictures[0]->pixmap().toImage(), pictures[1]->pixmap().toImage(), pictures[2]->pixmap().toImage()})
            numbers << (i.isNull() ? -1 : qRound(i.pixelColor(0, 0).hsvHueF() * 12) % 12);
        return numbers;
    }
    // Right button on a row of Lst_Main2, then a menu entry.
    static void menu(Form1 &w, int row, QAction *entry)
    {
        emit w.Lst_Main2->customContextMenuRequested(w.Lst_Main2->visualItemRect(w.Lst_Main2->topLevelItem(row - 1)).center());
        QVERIFY(w.Mnu_Finished->isVisible() && w.Txt_Numero_Selected->text() == QString::number(row));
        w.Mnu_Finished->close();
        entry->trigger();
    }
    static Stats *openStats(Form1 &w, int row)
    {
        menu(w, row, w.Mnu_Stats);
        return QTest::qWaitFor([&w] { return w.statsWindow() && w.statsWindow()->isVisible(); }) ? qobject_cast<Stats *>(w.statsWindow()) : nullptr;
    }

private slots:
    // A configured program: start-up shows no notice.
    void init() { useOwnHome((m_dir = new QTemporaryDir)->path()); }

    void cleanup()
    {
        while (QMessageBox *box = visibleMessageBox())
            box->close();
        delete m_dir;
    }

    // Catches a wrong row order (in progress first, newest finished on top) or
    // image, the running row without its percentage and speed; the queue started beside the resumed download.
    void startUpFillsTheListViews()
    {
        for (const auto &[name, bytes, status] : {std::tuple{"f1", 1024, 2}, {"run", 1048576, 0}, {"wait", 100, 1}, {"f2", 2048, 2}})
            addProject(name, bytes, status);
        Form1 w({});
        QVERIFY(startUp(w));
        QStringList rows;
        QList<qint64> images; // a row's image by its index in ImageList
        for (const QIcon &icon : w.ImageList)
            images << icon.cacheKey();
        for (QTreeWidget *view : {w.Lst_Main, w.Lst_Main2})
            for (QTreeWidgetItem *it : view->findItems(QString(), Qt::MatchContains, 1))
                rows << QStringList({QString::number(images.indexOf(it->icon(0).cacheKey())), it->text(1), it->text(3),
                                     it->text(4)}).join('|');
        QCOMPARE(rows, QStringList({"1|run|1.02 Mb|0%, 0.00 Kb/s", "2|wait|100 Bytes|Waiting",
                                    "0|f2|2.00 Kb|Finished", "0|f1|1.00 Kb|Finished"}));
        QVERIFY(w.engine().isDownloading() && w.engine().status().project == "run"
                && !w.engine().queue().isTicking());
    }

    // Catches settings written back at start-up (only AppPath is added), a click not stored, a notice on a configured
    // machine, the options opening while a download runs; "-Startwin-" matched in another case or among other arguments.
    void configuredStartUp()
    {
        for (const char *arguments : {"-Startwin-", "-startwin-", "-Startwin- x", ""}) {
            Form1 w(QString(arguments).split(' ', Qt::SkipEmptyParts));
            QVERIFY(startUp(w));
            QCOMPARE(w.isMinimized(), QByteArray(arguments) == "-Startwin-");
        }
        Settings::write("OnStartTab", "1");
        Form1 w({});
        QVERIFY(startUp(w));
        QVERIFY(!w.Options_Missing && !visibleMessageBox() && w.isEnabled() && w.engine().queue().isTicking());
        QVERIFY(!w.ChK_Tray->isChecked() && !w.Tray_Mode && w.ChK_Start->isChecked() && w.Menu->currentIndex() == 1);
        QSettings s(Settings::filePath(), QSettings::IniFormat);
        QCOMPARE(s.allKeys().join(' '), "options/AppPath options/FilePath options/OnStartTab options/Tray "
                                        "options/modemspeed options/packsize");
        w.ChK_Tray->click();
        w.ChK_Start->click();
        QVERIFY(Settings::read("Tray", "?") == "1" && Settings::read("OnStartTab", "?") == "0");
        // A project in progress as the store reads it; the queue, held, leaves it unstarted.
        w.engine().queue().hold();
        addProject("busy", 2048, 0);
        QVERIFY(w.engine().queue().load());
        w.Mnu_Options->trigger();
        QVERIFY(visibleMessageBox() && !w.optionsDialog() && w.isEnabled());
        QVERIFY(QFile::remove(home() + "/projects/main.zov") && !w.engine().queue().load());
        w.Mnu_Options->trigger();
        QVERIFY(w.optionsDialog() && !w.isEnabled());
    }

    // Catches the notice over the loading window or the options, one missing option ignored, a closable loading window.
    void unconfiguredMachineAsksForOptions()
    {
        QSettings(Settings::filePath(), QSettings::IniFormat).remove("options/modemspeed");
        Form1 w({});
        QVERIFY(startUp(w));
        QMessageBox *notice = visibleMessageBox();
        QVERIFY(w.Options_Missing && notice && !w.optionsDialog() && QDir(home() + "/projects").exists()
                && (!w.loadingWindow() || !w.loadingWindow()->isVisible()));
        notice->button(QMessageBox::Ok)->click();
        QTRY_VERIFY(w.optionsDialog() && w.optionsDialog()->isVisible() && !w.isEnabled());
        WaitWindow loading("Form6", "ZOV Kestra Download is loading...");
        loading.show();
        QVERIFY(!loading.close() && loading.isVisible());
    }

    // Catches the queue started or anything read before start-up; a tab showing another's frames (any but 1, 2 is
    // Download) or resizing the window; bars blank at start-up; values, bars or button moving in a download; the
    // running row without its figures; a tab changed on its own under an open menu, or never once it closed; bars and
    // graphs painted at the window's size and scaled up on a scaled screen (this test runs at scale 2 as well).
    void tabsAndAWindowThatHoldsStill()
    {
        QTemporaryDir www;
        NginxServer nginx;
        nginx.setRateLimit(64 << 10);
        QVERIFY(TextFile::write(www.path() + "/f.bin", QByteArray(4 << 20, 'z')) && nginx.start(www.path()));
        Form1 w({});
        QVERIFY(w.Timer_load->isActive() && !w.engine().queue().isTicking() && w.engine().store().entries().isEmpty()
                && !QDir(home() + "/projects").exists());
        QVERIFY(startUp(w));
        const auto shown = [&w] {
            QString names;
            for (QGroupBox *g : {w.Frm_Infos, w.Frm_Infos2, w.Frm_Main, w.Frm_projects, w.Frm_Download, w.Frm_Graph})
                names += g->isVisible() ? g->objectName() + ' ' : QString();
            return names.trimmed();
        };
        const QStringList expected = {"Frm_Infos Frm_Infos2", "Frm_Main Frm_projects", "Frm_Download Frm_Graph"};
        QTest::mouseClick(w.Menu, Qt::LeftButton, {}, w.Menu->tabRect(1).center());
        QCOMPARE(shown(), expected[1]);
        const QSize size = w.size();
        for (const char *tab = "12132313273"; *tab; ++tab) { // every tab after every other, ending on Download
            w.selectTab(*tab - '0');
            QCoreApplication::processEvents();
            QCOMPARE(shown(), expected[qMin(*tab - '0', 3) - 1]);
            QCOMPARE(w.size(), size);
        }
        for (const char *name : {"Barre", "Barre1", "Barre2", "Barre3", "Barre4"}) {
            const QImage shot = w.bar(name)->grab().toImage();
            int text = 0; // the "%" alone, in the fore colour, in the middle of the bar
            for (int i = 0; i < shot.width() * shot.height(); ++i)
                if (shot.pixel(i % shot.width(), i / shot.width()) == w.bar(name)->foreColor().rgb())
                    text += qAbs(i % shot.width() - shot.width() / 2) < shot.height() ? 1 : -1000;
            QVERIFY2(text > 0 && shot.deviceIndependentSize().toSize() == w.bar(name)->size() && sharp(shot), name);
        }
        auto layout = [&w] { // every visible named control's place in the window
            QList<QRect> g;
            QCoreApplication::processEvents();
            for (QWidget *c : w.centralWidget()->findChildren<QWidget *>())
                g << (c->objectName().isEmpty() || !c->isVisible() ? QRect() : QRect(c->mapTo(&w, QPoint()), c->size()));
            return g;
        };
        const QList<QRect> idle = layout();
        const QString url = nginx.hostPort() + "/f.bin";
        QVERIFY(queueProject(w.engine(), "f", url, 4 << 20) && w.engine().queue().startNow("f"));
        QTRY_VERIFY_WITH_TIMEOUT(w.label("Lbl_Vitesse_MM")->text() != "0.00 Kb/s" && w.label("Lbl_Paquet")->text() != "Nothing", 15000);
        QCOMPARE(layout(), idle);
        QVERIFY(sharp(w.Graph2->grab().toImage()) && sharp(w.Graph->grab().toImage()));
        QTRY_VERIFY(QRegularExpression("^\\d+%, [\\d.,]+ (Kb|Mb)/s$").match(w.Lst_Main->topLevelItem(0)->text(4)).hasMatch());
        emit w.Lst_Main->customContextMenuRequested(w.Lst_Main->visualItemRect(w.Lst_Main->topLevelItem(0)).center());
        emit w.engine().tabRequested(2);
        QTest::qWait(300);
        QVERIFY(w.Mnu_Pas_Finit->isVisible() && w.Menu->currentIndex() == 2);
        w.Mnu_Pas_Finit->close();
        QTRY_COMPARE(w.Menu->currentIndex(), 1);
        w.selectTab(3);
        w.engine().pauseDownload();
        QVERIFY(w.Cmd_Action->text() == "Resume" && layout() == idle && w.Lst_Main->topLevelItem(0)->text(4).startsWith("Paused, "));
    }

    // Catches a download that ends unseen and is not told, told twice or without the file's name, or told while the
    // window is looked at (a failure then); "Open file" and "Open folder" not handing the saved file (a name taken in
    // the destination) and its folder to the desktop, or offered for a file that is gone.
    void finishedDownloadIsToldAndOpens()
    {
        QTemporaryDir www;
        NginxServer nginx;
        const QString dest = m_dir->path() + "/in/";
        QVERIFY(TextFile::write(www.path() + "/f.bin", QByteArray(700000, 'f')) && nginx.start(www.path())
                && QDir().mkpath(dest) && TextFile::write(dest + "f.bin", "the user's own"));
        Form1 w({});
        auto *board = new NoticeBoard;
        w.setNotifier(board);
        QVERIFY(startUp(w));
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        DownloadManager &e = w.engine();
        e.queue().hold();
        e.setSlotTimeouts(5000, 10);
        const auto start = [&](const QString &name, const QString &url) {
            QVERIFY(e.queue().add(name, ProjectFile::build({.url = url, .bytes = 700000, .path = dest, .status = 1}), url, 700000)
                    && e.queue().startNow(name));
        };
        start("gone", "127.0.0.1:1/gone.bin");
        QSignalSpy failed(&e, &DownloadManager::downloadFailed);
        QVERIFY(failed.wait(20000) && board->notices.isEmpty());
        e.queue().cancel("gone");
        QWidget elsewhere; // another program has the user's eye
        elsewhere.show();
        elsewhere.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
        start("f", nginx.hostPort() + "/f.bin");
        QSignalSpy finished(&e, &DownloadManager::projectFinished);
        QVERIFY(finished.wait(20000));
        QCoreApplication::processEvents();
        QCOMPARE(board->notices, QStringList({"Download finished|f (1).bin\nin " + QDir::toNativeSeparators(m_dir->path() + "/in")}));
        DesktopStandIn desktop;
        QDesktopServices::setUrlHandler("file", &desktop, "open");
        menu(w, 1, w.Mnu_Open_Folder);
        menu(w, 1, w.Mnu_Open_File);
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(desktop.opened, QList<QUrl>({QUrl::fromLocalFile(m_dir->path() + "/in"), QUrl::fromLocalFile(dest + "f (1).bin")}));
        QVERIFY(QFile::remove(dest + "f (1).bin"));
        emit w.Lst_Main2->customContextMenuRequested(w.Lst_Main2->visualItemRect(w.Lst_Main2->topLevelItem(0)).center());
        QVERIFY(!w.Mnu_Open_File->isEnabled() && w.Mnu_Open_Folder->isEnabled());
        w.Mnu_Finished->close();
    }

    // Catches a second copy that keeps running, speaks when the session starts it, shows a message box instead of the
    // running window when started by hand, or drops its address instead of handing it over; and a program that
    // SIGTERM does not end (the shutdown window refused the quit).
    void secondCopyEnds()
    {
        // The copies inherit this process's folders; the hand-off socket is this test's, so the first copy finds it
        // taken and what the others hand over arrives here.
        QLocalServer standIn;
        QVERIFY(standIn.listen(UrlHandOff::socketPath()));
        QByteArrayList got;
        connect(&standIn, &QLocalServer::newConnection, this, [&] {
            QLocalSocket *peer = standIn.nextPendingConnection();
            connect(peer, &QLocalSocket::readyRead, this, [&got, peer] {
                got << peer->readAll();
                peer->write(UrlHandOff::Ack);
            });
        });
        const QString exe = QStringLiteral(ZK_BINARY_DIR "/zov-kestra-download");
        QProcess first, quiet, byHand, handing;
        first.start(exe, {"-Startwin-"});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_dir->path() + "/config/zov-kestra-download.lock"), 10000);
        quiet.start(exe, {"-Startwin-"});
        QVERIFY(quiet.waitForFinished(10000) && quiet.exitCode() != 0 && quiet.readAllStandardError().isEmpty());
        for (auto [copy, args, message] : {std::tuple{&byHand, QStringList{}, QByteArray("--SHOW--")},
                                           std::tuple{&handing, QStringList{"host/a.bin"}, QByteArray("--RVQ--host/a.bin")}}) {
            copy->start(exe, args);
            QTRY_VERIFY_WITH_TIMEOUT(copy->state() == QProcess::NotRunning, 10000);
            QVERIFY2(copy->exitCode() == 0 && copy->readAllStandardError().isEmpty(), qPrintable(args.join(' ')));
            QCOMPARE(got.value(got.size() - 1), message);
        }
        QVERIFY(first.state() == QProcess::Running);
        first.terminate();
        QVERIFY(first.waitForFinished(10000) && first.exitStatus() == QProcess::NormalExit && first.exitCode() == 0);
    }

    // Catches snapshots shown in folder order (0, 1, 10, 11, 2 ...), ">>" enabled with 3 or left enabled on the
    // last page, "<<" enabled on the first, shown smaller than saved or with bands; figures cut at the wrong key or
    // line end; the main window left usable while the window is open, or left disabled after it closed; Esc or Enter
    // not closing it. Deleting statistics: a name matched inside another ("a" in "ab", "ba"), their folders, list-file
    // lines or list entries removed, or the wrong entry; a "No" that deletes anyway.
    void statsFiguresSnapshotsAndDelete()
    {
        for (const char *name : {"ab", "a", "ba"})
            addFinished(name, 1, 1);
        addFinished("three", 3, 4);
        addFinished("twelve", 12, 0);
        QVERIFY(TextFile::write(folder("twelve") + "stats.zov", "Time:00:12:07\r\nHspeed:120.00 Kb/s | 960.0 Kbits/s\r\n"
                                "Lspeed:1.00 Kb/s | 8.0 Kbits/s\r\nMspeed:60.50 Kb/s | 484.0 Kbits/s\r\n"));
        Form1 w({});
        QVERIFY(startUp(w));
        Stats *s = openStats(w, 1); // newest first: row 1 is "twelve"
        QVERIFY(s && !w.isEnabled());
        QCOMPARE(QStringList({s->Txt_Project->text(), s->Txt_Url->text(), s->Txt_Poid_File->text(), s->Txt_Time_Download->text(),
                              s->Txt_Vitesse_Max->text(), s->Txt_Vitesse_Min->text(), s->Txt_Vitesse_m->text()}),
                 QStringList({"twelve", "127.0.0.1:1/twelve.iso", "2.00 Kb", "00:12:07", "120.00 Kb/s | 960.0 Kbits/s",
                              "1.00 Kb/s | 8.0 Kbits/s", "60.50 Kb/s | 484.0 Kbits/s"}));
        for (int page = 0; page < 9; ++page) {
            QCOMPARE(shown(s->Pict_Stats), QList<int>({page, page + 1, page + 2}));
            QVERIFY(s->Cmd_For_1->isEnabled() && s->Cmd_Prec_1->isEnabled() == (page > 0));
            s->Cmd_For_1->click();
        }
        QVERIFY(shown(s->Pict_Stats) == QList<int>({9, 10, 11}) && !s->Cmd_For_1->isEnabled());
        QVERIFY(shown(s->Pict_Stats2) == QList<int>({-1, -1, -1}) && !s->Cmd_For_2->isEnabled());
        QCOMPARE(s->Pict_Stats[0]->pixmap().size(), QSize(DisplayModel::GraphWidth, DisplayModel::GraphHeight));
        QTest::keyClick(s, Qt::Key_Escape);
        QTRY_VERIFY(!w.statsWindow() && w.isEnabled());

        s = openStats(w, 2);
        QVERIFY(s && s->Txt_Time_Download->text().isEmpty() && !s->Cmd_For_1->isEnabled() && s->Cmd_For_2->isEnabled());
        QCOMPARE(shown(s->Pict_Stats), QList<int>({0, 1, 2}));
        s->Cmd_For_2->click();
        QVERIFY(shown(s->Pict_Stats2) == QList<int>({1, 2, 3}) && !s->Cmd_For_2->isEnabled() && s->Cmd_Prec_2->isEnabled());
        s->Cmd_Prec_2->click();
        QVERIFY(shown(s->Pict_Stats2) == QList<int>({0, 1, 2}) && s->Cmd_For_2->isEnabled() && !s->Cmd_Prec_2->isEnabled());
        QTest::keyClick(s->Txt_Url, Qt::Key_Return);
        QTRY_VERIFY(!w.statsWindow() && w.isEnabled());

        for (QMessageBox::StandardButton answer : {QMessageBox::No, QMessageBox::Yes}) {
            menu(w, 4, w.Mnu_Del_Stats); // rows: twelve, three, ba, a, ab
            QMessageBox *box = visibleMessageBox();
            QVERIFY(box && box->text() == "Do you really want to delete the statistics of a ?" && box->windowTitle() == "Delete ?");
            box->button(answer)->click();
            QTRY_VERIFY(!box->isVisible());
        }
        QCOMPARE(TextFile::read(home() + "/projects/main.zov"), QByteArray("ab\r\nba\r\nthree\r\ntwelve\r\n"));
        QVERIFY(!QDir(folder("a")).exists() && QFile::exists(folder("ab") + "ab(1_0).jpg") && QFile::exists(folder("ba") + "project.zov"));
        QStringList finished;
        for (const ProjectEntry &e : w.engine().store().finished())
            finished << e.name + ' ' + e.url;
        QCOMPARE(finished << QString::number(w.Lst_Main2->topLevelItemCount()),
                 QStringList({"ab 127.0.0.1:1/ab.iso", "ba 127.0.0.1:1/ba.iso", "three 127.0.0.1:1/three.iso",
                              "twelve 127.0.0.1:1/twelve.iso", "4"}));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
