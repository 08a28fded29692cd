// The statistics window and the finished projects' menu, through the real main window.
#include "core/settings.h"
#include "core/text_file.h"
#include "gui/form1.h"
#include "engine/download_manager.h"
#include "projects/project_file.h"
#include "gui/stats.h"
#include <QtTest>
#include <QtWidgets>

class TestStats : public QObject
{
    Q_OBJECT
    QTemporaryDir *m_dir = nullptr;
    QString folder(const QString &name) const { return m_dir->path() + "/home/projects/" + name + "/"; }
    // A finished project with n1 snapshots of graph 1 and n2 of graph 2, each a colour whose hue is 30 x its number.
    void addFinished(const QString &name, int n1, int n2)
    {
        QVERIFY(QDir().mkpath(folder(name)) && TextFile::write(folder(name) + "project.zov", ProjectFile::build(
            {.url = "127.0.0.1:1/" + name + ".iso", .bytes = 2048, .path = m_dir->path() + "/in/", .status = 2})));
        QVERIFY(TextFile::appendLine(m_dir->path() + "/home/projects/main.zov", name.toUtf8()));
        for (int n = 0; n < qMax(n1, n2); ++n) {
            QImage picture(60, 20, QImage::Format_RGB32);
            picture.fill(QColor::fromHsv(n * 30, 255, 255));
            for (int g : {1, 2})
                QVERIFY(n >= (g == 1 ? n1 : n2) || picture.save(folder(name) + QString("%1(%2_%3).jpg").arg(name).arg(g).arg(n)));
        }
    }
    // The snapshot numbers the three images show (-1 for an empty one).
    static QList<int> shown(QLabel *const (&pictures)[3])
    {
        QList<int> numbers;
        for (const QImage &i : {pictures[0]->pixmap().toImage(), pictures[1]->pixmap().toImage(), pictures[2]->pixmap().toImage()})
            numbers << (i.isNull() ? -1 : qRound(i.pixelColor(i.rect().center()).hsvHueF() * 12) % 12);
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
    // Shows the window and waits until start-up has run.
    static bool startUp(Form1 &w) { QSignalSpy done(&w, &Form1::startupFinished); w.show(); return done.wait(5000); }
private slots:
    void init()
    {
        m_dir = new QTemporaryDir;
        qputenv("ZOV_KESTRA_HOME", (m_dir->path() + "/home").toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_dir->path() + "/config").toUtf8());
        Settings::setApplicationName("zov-kestra-download");
        for (const char *key : {"FilePath", "packsize", "modemspeed", "Tray"})
            Settings::write(key, "0");
    }
    void cleanup() { delete m_dir; }

    // Catches snapshots shown in folder order (0, 1, 10, 11, 2 ...), ">>" enabled with 3 or left enabled on the
    // last page, "<<" enabled on the first; figures cut at the wrong key or line end; the main window left usable
    // while the window is open, or left disabled after it closed.
    void figuresAndSnapshots()
    {
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
        s->Cmd_Close->click();
        QTRY_VERIFY(!w.statsWindow() && w.isEnabled());

        s = openStats(w, 2);
        QVERIFY(s && s->Txt_Time_Download->text().isEmpty() && !s->Cmd_For_1->isEnabled() && s->Cmd_For_2->isEnabled());
        QCOMPARE(shown(s->Pict_Stats), QList<int>({0, 1, 2}));
        s->Cmd_For_2->click();
        QVERIFY(shown(s->Pict_Stats2) == QList<int>({1, 2, 3}) && !s->Cmd_For_2->isEnabled() && s->Cmd_Prec_2->isEnabled());
        s->Cmd_Prec_2->click();
        QVERIFY(shown(s->Pict_Stats2) == QList<int>({0, 1, 2}) && s->Cmd_For_2->isEnabled() && !s->Cmd_Prec_2->isEnabled());
    }

    // Catches a name matched inside another ("a" in "ab", "ba"): their folders, list-file lines or list entries
    // removed, or the wrong entry removed; and a "No" that deletes anyway.
    void deleteLeavesNamesThatContainIt()
    {
        for (const char *name : {"ab", "a", "ba"})
            addFinished(name, 1, 1);
        Form1 w({});
        QVERIFY(startUp(w));
        for (QMessageBox::StandardButton answer : {QMessageBox::No, QMessageBox::Yes}) {
            menu(w, 2, w.Mnu_Del_Stats); // rows: ba, a, ab
            QMessageBox *box = nullptr;
            for (QWidget *t : QApplication::topLevelWidgets())
                box = t->isVisible() && qobject_cast<QMessageBox *>(t) ? qobject_cast<QMessageBox *>(t) : box;
            QVERIFY(box && box->text() == "Do you really want to delete the statistics of a ?" && box->windowTitle() == "Delete ?");
            box->button(answer)->click();
            QTRY_VERIFY(!box->isVisible());
        }
        QCOMPARE(TextFile::read(m_dir->path() + "/home/projects/main.zov"), QByteArray("ab\r\nba\r\n"));
        QVERIFY(!QDir(folder("a")).exists() && QFile::exists(folder("ab") + "ab(1_0).jpg") && QFile::exists(folder("ba") + "project.zov"));
        QStringList finished;
        for (const ProjectEntry &e : w.engine().store().finished())
            finished << e.name << e.url;
        QCOMPARE(finished << QString::number(w.Lst_Main2->topLevelItemCount()),
                 QStringList({"ab", "127.0.0.1:1/ab.iso", "ba", "127.0.0.1:1/ba.iso", "2"}));
    }
};

QTEST_MAIN(TestStats)
#include "test_stats.moc"
