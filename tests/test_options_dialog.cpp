// The options dialog and the destination-folder chooser, driven through their
// controls the way a user would, against an isolated settings store.
#include "app/settings.h"
#include "display/bar_painter.h"
#include "display/ui/picture_box.h"
#include "options/option_values.h"
#include "options/ui/form3.h"
#include "options/ui/form4.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <cmath>

namespace {
const QStringList AllKeys = {"FilePath", "packsize", "modemspeed", "mainbarreback", "secbarreback",
                             "mainbarrefor", "secbarrefor", "graphback", "graphfor", "graphmodem",
                             "ShowModem"};

QMap<QString, QString> storedValues()
{
    QMap<QString, QString> m;
    for (const QString &k : AllKeys)
        m.insert(k, Settings::read(k, QStringLiteral("<missing>")));
    return m;
}

void storeValues(const QMap<QString, QString> &m)
{
    for (auto it = m.begin(); it != m.end(); ++it)
        Settings::write(it.key(), it.value());
}

template<typename T>
T *control(QWidget *w, const char *name)
{
    return w->findChild<T *>(QLatin1String(name));
}

Form4 *openChooser()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *f = qobject_cast<Form4 *>(w); f && f->isVisible())
            return f;
    }
    return nullptr;
}

void flushDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
} // namespace

class TestOptionsDialog : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_home;
    QTemporaryDir m_config;

    Form3 *open()
    {
        auto *f = new Form3;
        // The previews are driven by hand where a test looks at them.
        control<QTimer>(f, "Timer_Barre")->stop();
        control<QTimer>(f, "Timer_Graph")->stop();
        return f;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid() && m_config.isValid());
        qputenv("ZOV_KESTRA_HOME", m_home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    }

    void init()
    {
        QFile::remove(Settings::filePath());
    }

    void cleanup()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox *>(w) || qobject_cast<Form3 *>(w) || qobject_cast<Form4 *>(w))
                w->deleteLater();
        flushDeletes();
    }

    void tabsShowOneFrame()
    {
        QPointer<Form3> f = open();
        f->show();
        QCOMPARE(f->windowTitle(), QStringLiteral("Options"));
        auto *tabs = control<QTabBar>(f, "Choix");
        QVERIFY(tabs);
        QCOMPARE(tabs->count(), 3);
        const char *frames[] = {"Frm_Main", "Frm_Barre", "Frm_Graph"};
        for (int tab : {1, 2, 0}) {
            tabs->setCurrentIndex(tab);
            for (int i = 0; i < 3; ++i)
                QCOMPARE(control<QWidget>(f, frames[i])->isVisible(), i == tab);
        }
    }

    void defaultsWhenNothingStored()
    {
        Form3 *f = open();
        control<QPushButton>(f, "Cmd_OK")->click();
        const QMap<QString, QString> s = storedValues();
        QCOMPARE(s["FilePath"], QDir::cleanPath(m_home.path()) + "/received/");
        QCOMPARE(s["packsize"], "512000");
        QCOMPARE(s["modemspeed"], "56");
        QCOMPARE(s["ShowModem"], "1");
        QCOMPARE(s["mainbarreback"], "16777215");
        QCOMPARE(s["secbarreback"], "16777215");
        QCOMPARE(s["mainbarrefor"], "255");
        QCOMPARE(s["secbarrefor"], "8421631");
        QCOMPARE(s["graphback"], "16777215");
        QCOMPARE(s["graphfor"], "8421631");
        QCOMPARE(s["graphmodem"], "0");
    }

    void okWithoutChangesKeepsValues_data()
    {
        QTest::addColumn<QString>("pack");
        QTest::addColumn<QString>("speed");
        QTest::addColumn<QString>("pickedPack");
        QTest::addColumn<QString>("pickedSpeed");
        QTest::newRow("2 Mb, 512 K") << "2048000" << "512" << "Opt_Pack_2mb" << "Opt_Modem_512k";
        QTest::newRow("1 Mb, 1024 K") << "1024000" << "1024" << "Opt_Pack_1mb" << "Opt_Modem_1024k";
        QTest::newRow("500 Kb, typed") << "512000" << "100" << "Opt_Pack_5mb" << "Opt_Modem_Other";
        // "0777" reads as 777, no offered size: the stored text must stay as it is.
        QTest::newRow("unknown pack, typed decimal") << "0777" << "33.6" << "" << "Opt_Modem_Other";
    }

    void okWithoutChangesKeepsValues()
    {
        QFETCH(QString, pack);
        QFETCH(QString, speed);
        QFETCH(QString, pickedPack);
        QFETCH(QString, pickedSpeed);
        const QMap<QString, QString> before = {
            {"FilePath", "/srv/downloads/"}, {"packsize", pack}, {"modemspeed", speed},
            {"mainbarreback", "1193046"}, {"secbarreback", "65280"}, {"mainbarrefor", "12345"},
            {"secbarrefor", "16711680"}, {"graphback", "8355711"}, {"graphfor", "4210752"},
            {"graphmodem", "255"}, {"ShowModem", "0"}};
        storeValues(before);

        Form3 *f = open();
        for (const char *name : {"Opt_Pack_5mb", "Opt_Pack_1mb", "Opt_Pack_2mb"})
            QCOMPARE(control<QRadioButton>(f, name)->isChecked(), pickedPack == name);
        QVERIFY(control<QRadioButton>(f, pickedSpeed.toLatin1())->isChecked());
        QCOMPARE(control<QLineEdit>(f, "Txt_Modem_Speed")->text(), speed);
        QCOMPARE(control<QLineEdit>(f, "Txt_Modem_Other")->isEnabled(), pickedSpeed == "Opt_Modem_Other");
        if (pickedSpeed == "Opt_Modem_Other")
            QCOMPARE(control<QLineEdit>(f, "Txt_Modem_Other")->text(), speed);
        QCOMPARE(control<QCheckBox>(f, "Chk_Show_Modem")->text(), "Show modem " + speed + "K (recommended)");
        QVERIFY(!control<QCheckBox>(f, "Chk_Show_Modem")->isChecked());
        QCOMPARE(control<QLineEdit>(f, "Txt_Download_Path")->toolTip(), "/srv/downloads/");

        control<QPushButton>(f, "Cmd_OK")->click();
        QCOMPARE(storedValues(), before);
    }

    void okStoresChangedValues()
    {
        Form3 *f = open();
        QTest::keyClicks(control<QLineEdit>(f, "Txt_Download_Path"), "x/");
        control<QRadioButton>(f, "Opt_Pack_2mb")->click();
        control<QRadioButton>(f, "Opt_Modem_Other")->click();
        auto *other = control<QLineEdit>(f, "Txt_Modem_Other");
        QVERIFY(other->isEnabled());
        other->selectAll();
        QTest::keyClicks(other, "300");
        control<QCheckBox>(f, "Chk_Show_Modem")->click();
        control<QPushButton>(f, "Cmd_OK")->click();

        const QMap<QString, QString> s = storedValues();
        QCOMPARE(s["FilePath"], QDir::cleanPath(m_home.path()) + "/received/x/");
        QCOMPARE(s["packsize"], "2048000");
        QCOMPARE(s["modemspeed"], "300");
        QCOMPARE(s["ShowModem"], "0");
        QVERIFY(f->findChildren<QMessageBox *>().isEmpty());

        // A fixed speed chosen after a typed one wins, and the typed field locks.
        f = open();
        QCOMPARE(control<QLineEdit>(f, "Txt_Modem_Other")->text(), "300");
        control<QRadioButton>(f, "Opt_Modem_128k")->click();
        QVERIFY(!control<QLineEdit>(f, "Txt_Modem_Other")->isEnabled());
        control<QRadioButton>(f, "Opt_Pack_1mb")->click();
        control<QPushButton>(f, "Cmd_OK")->click();
        QCOMPARE(Settings::read("modemspeed", {}), "128");
        QCOMPARE(Settings::read("packsize", {}), "1024000");
    }

    void nonNumericSpeedIsReplaced_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("clearFirst");
        QTest::newRow("letter after the number") << "k" << false;
        QTest::newRow("cleared field") << "" << true;
    }

    void nonNumericSpeedIsReplaced()
    {
        QFETCH(QString, typed);
        QFETCH(bool, clearFirst);
        Settings::write("modemspeed", "64");
        Form3 *f = open();
        control<QRadioButton>(f, "Opt_Modem_Other")->click();
        auto *other = control<QLineEdit>(f, "Txt_Modem_Other");
        other->setText("48");
        QCOMPARE(control<QLineEdit>(f, "Txt_Modem_Speed")->text(), "48");
        QVERIFY(f->findChildren<QMessageBox *>().isEmpty());
        if (clearFirst)
            other->clear();
        else
            QTest::keyClicks(other, typed);

        const QList<QMessageBox *> boxes = f->findChildren<QMessageBox *>();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0]->windowTitle(), "Error");
        QCOMPARE(boxes[0]->icon(), QMessageBox::Critical);
        QCOMPARE(boxes[0]->text(), "Please enter only numeric informations !");
        QVERIFY(boxes[0]->isVisible());
        const QString replaced = QLocale().toString(33.6);
        QCOMPARE(other->text(), replaced);
        QCOMPARE(control<QLineEdit>(f, "Txt_Modem_Speed")->text(), replaced);
        QCOMPARE(control<QCheckBox>(f, "Chk_Show_Modem")->text(), "Show modem " + replaced + "K (recommended)");
        boxes[0]->close();
        flushDeletes();
        QVERIFY(f->findChildren<QMessageBox *>().isEmpty());
    }

    void previewBarsCountToHundredAndWrap()
    {
        Form3 *f = open();
        int guard = 0;
        while (f->previewCounter() != 100 && guard++ < 101)
            f->timerBarreTick();
        QCOMPARE(f->previewCounter(), 100);
        QList<int> seen;
        for (int step = 0; step < 101; ++step) {
            f->timerBarreTick();
            seen << f->previewCounter();
        }
        QCOMPARE(seen.first(), 0);
        QCOMPARE(seen.last(), 100);
        for (int i = 0; i < seen.size(); ++i)
            QCOMPARE(seen[i], i);
        delete f;
    }

    void graphPreviewSamples()
    {
        Settings::write("modemspeed", "56");
        Form3 *f = open();
        control<QTabBar>(f, "Choix")->setCurrentIndex(2);
        f->show();
        QVERIFY(QTest::qWaitForWindowExposed(f));
        auto *graph = control<PictureBox>(f, "Graph");
        auto *show = control<QCheckBox>(f, "Chk_Show_Modem");
        const QColor back = graph->backColor();
        auto countOther = [&] {
            f->drawGraphPreview();
            int n = 0;
            const QImage img = graph->image().convertToFormat(QImage::Format_RGB32);
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x)
                    n += QColor(img.pixel(x, y)) != back;
            return n;
        };
        QVERIFY(graph->image().width() > 50);

        // All samples 0: only the reference line is drawn, and only when shown.
        QCOMPARE(f->graphSamples(), QStringList(50, "0"));
        show->setChecked(false);
        QCOMPARE(countOther(), 0);
        show->setChecked(true);
        QVERIFY(countOther() > 0);

        // Samples come in at the end, between M/2 and 1.5 M.
        for (int i = 0; i < 120; ++i) {
            f->timerGraphTick();
            QCOMPARE(f->graphSamples().size(), 50);
            const int v = f->graphSamples().last().toInt();
            QVERIFY2(v >= 28 && v < 84, qPrintable(QString::number(v)));
        }
        show->setChecked(false);
        QVERIFY(countOther() > 0);

        // A new speed starts the preview over.
        control<QRadioButton>(f, "Opt_Modem_1024k")->click();
        QCOMPARE(f->graphSamples(), QStringList(50, "0"));
        delete f;
    }

    void colorButtons_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("key");
        QTest::newRow("main back") << "Cmd_Main_Bar_1" << "mainbarreback";
        QTest::newRow("main fore") << "Cmd_Main_Bar_2" << "mainbarrefor";
        QTest::newRow("second back") << "Cmd_Sec_Bar_1" << "secbarreback";
        QTest::newRow("second fore") << "Cmd_Sec_Bar_2" << "secbarrefor";
        QTest::newRow("graph back") << "Cmd_Graph_back" << "graphback";
        QTest::newRow("graph fore") << "Cmd_Graph_for" << "graphfor";
        QTest::newRow("modem line") << "Cmd_Graph_modem_color" << "graphmodem";
    }

    void colorButtons()
    {
        QFETCH(QString, button);
        QFETCH(QString, key);
        storeValues({{"FilePath", "/f/"}, {"packsize", "2048000"}, {"modemspeed", "64"}, {"ShowModem", "1"},
                     {"mainbarreback", "1"}, {"mainbarrefor", "2"}, {"secbarreback", "3"},
                     {"secbarrefor", "4"}, {"graphback", "5"}, {"graphfor", "6"}, {"graphmodem", "7"}});
        const QMap<QString, QString> before = storedValues();

        Form3 *f = open();
        QColor preset;
        f->colorChooser = [&](const QColor &current) {
            preset = current;
            return QColor(10, 20, 30);
        };
        control<QPushButton>(f, button.toLatin1())->click();
        QCOMPARE(packedFromColor(preset), before[key].toLongLong());
        control<QPushButton>(f, "Cmd_OK")->click();

        QMap<QString, QString> expected = before;
        expected[key] = QString::number(30 * 65536 + 20 * 256 + 10);
        QCOMPARE(storedValues(), expected);

        // A cancelled chooser hands back the preset colour: nothing changes.
        f = open();
        f->colorChooser = [](const QColor &current) { return current; };
        control<QPushButton>(f, button.toLatin1())->click();
        control<QPushButton>(f, "Cmd_OK")->click();
        QCOMPARE(storedValues(), expected);
    }

    void defaultButtons()
    {
        storeValues({{"mainbarreback", "1"}, {"mainbarrefor", "2"}, {"secbarreback", "3"},
                     {"secbarrefor", "4"}, {"graphback", "5"}, {"graphfor", "6"}, {"graphmodem", "7"},
                     {"ShowModem", "0"}});
        Form3 *f = open();
        control<QPushButton>(f, "Cmd_Barre_Default")->click();
        control<QPushButton>(f, "Cmd_OK")->click();
        QMap<QString, QString> s = storedValues();
        QCOMPARE(s["mainbarreback"], "16777215");
        QCOMPARE(s["secbarreback"], "16777215");
        QCOMPARE(s["mainbarrefor"], "255");
        QCOMPARE(s["secbarrefor"], "8421631");
        QCOMPARE(s["graphback"], "5");
        QCOMPARE(s["ShowModem"], "0");

        f = open();
        control<QPushButton>(f, "Cmd_Graph_Default")->click();
        control<QPushButton>(f, "Cmd_OK")->click();
        s = storedValues();
        QCOMPARE(s["graphback"], "16777215");
        QCOMPARE(s["graphfor"], "8421631");
        QCOMPARE(s["graphmodem"], "0");
        QCOMPARE(s["ShowModem"], "1");
    }

    void cancelWritesNothing()
    {
        storeValues({{"FilePath", "/data/in/"}, {"packsize", "1024000"}, {"modemspeed", "256"}});
        QFile file(Settings::filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();

        QPointer<Form3> f = open();
        QSignalSpy toMain(f.data(), &Form3::returnToMainWindow);
        QSignalSpy toNew(f.data(), &Form3::returnToNewProject);
        f->show();
        control<QLineEdit>(f, "Txt_Download_Path")->setText("/elsewhere/");
        control<QRadioButton>(f, "Opt_Pack_5mb")->click();
        control<QRadioButton>(f, "Opt_Modem_64k")->click();
        f->colorChooser = [](const QColor &) { return QColor(Qt::green); };
        control<QPushButton>(f, "Cmd_Graph_back")->click();
        control<QPushButton>(f, "Cmd_Annuler")->click();

        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
        QCOMPARE(toMain.count(), 1);
        QCOMPARE(toNew.count(), 0);
        flushDeletes();
        QVERIFY(f.isNull());
    }

    void unloadReturnsToOpener()
    {
        QPointer<Form3> f = open();
        f->setFromNewProject("from Form2");
        QSignalSpy toMain(f.data(), &Form3::returnToMainWindow);
        QString packWhenBack;
        connect(f, &Form3::returnToNewProject, this, [&] {
            packWhenBack = Settings::read("packsize", {});
            QVERIFY(f->fromNewProject().isEmpty());
        });
        control<QRadioButton>(f, "Opt_Pack_2mb")->click();
        control<QPushButton>(f, "Cmd_OK")->click();
        // The new-project dialog refreshes itself from what OK has just stored.
        QCOMPARE(packWhenBack, "2048000");
        QCOMPARE(toMain.count(), 0);
        flushDeletes();
        QVERIFY(f.isNull());

        // Closed by the window frame, without the marker: back to the main window.
        f = open();
        QSignalSpy toMain2(f.data(), &Form3::returnToMainWindow);
        QSignalSpy toNew2(f.data(), &Form3::returnToNewProject);
        f->show();
        f->close();
        QCOMPARE(toMain2.count(), 1);
        QCOMPARE(toNew2.count(), 0);
    }

    void folderChooser()
    {
        QTemporaryDir dest;
        QVERIFY(QDir(dest.path()).mkpath("films/new"));
        const QString start = QDir::cleanPath(dest.path()) + "/";
        Settings::write("FilePath", start);

        QPointer<Form3> f = open();
        f->show();
        auto *path = control<QLineEdit>(f, "Txt_Download_Path");
        control<QPushButton>(f, "Command1")->click();
        QVERIFY(!f->isVisible());
        Form4 *chooser = openChooser();
        QVERIFY(chooser);
        auto *newPath = control<QLineEdit>(chooser, "Txt_New_path");
        auto *tree = control<QTreeView>(chooser, "Dir");
        auto *model = qobject_cast<QFileSystemModel *>(tree->model());
        QVERIFY(model);
        QCOMPARE(newPath->text(), start);
        QCOMPARE(model->filePath(tree->currentIndex()), QDir::cleanPath(dest.path()));
        QVERIFY(control<QComboBox>(chooser, "Drive")->count() > 0);

        // Picking folders: the path and one "/"; the root gives "//".
        const QString films = QDir::cleanPath(dest.path()) + "/films/new";
        tree->setCurrentIndex(model->index(films));
        QCOMPARE(newPath->text(), films + "/");
        QCOMPARE(newPath->toolTip(), films + "/");
        tree->setCurrentIndex(model->index("/"));
        QCOMPARE(newPath->text(), "//");
        tree->setCurrentIndex(model->index(films));
        control<QPushButton>(chooser, "Cmd_OK")->click();
        QVERIFY(f->isVisible());
        QCOMPARE(path->text(), films + "/");
        QCOMPARE(path->toolTip(), films + "/");
        flushDeletes();
        QVERIFY(!openChooser());

        // The chooser starts from the stored setting, not from the dialog's field,
        // and its Cancel hands nothing back; typed text goes through unchecked.
        control<QPushButton>(f, "Command1")->click();
        chooser = openChooser();
        QVERIFY(chooser);
        QCOMPARE(control<QLineEdit>(chooser, "Txt_New_path")->text(), start);
        control<QLineEdit>(chooser, "Txt_New_path")->setText("not a folder");
        control<QPushButton>(chooser, "Cmd_Annuler")->click();
        QVERIFY(f->isVisible());
        QCOMPARE(path->text(), films + "/");
        control<QPushButton>(f, "Command1")->click();
        chooser = openChooser();
        control<QLineEdit>(chooser, "Txt_New_path")->setText("not a folder");
        control<QPushButton>(chooser, "Cmd_OK")->click();
        QCOMPARE(path->text(), "not a folder");

        // OK in the chooser, then Cancel in the dialog: the setting stays.
        control<QPushButton>(f, "Cmd_Annuler")->click();
        QCOMPARE(Settings::read("FilePath", {}), start);
    }

    void chooserFollowsDrive()
    {
        Settings::write("FilePath", "/no/such/folder/");
        auto *chooser = new Form4;
        chooser->show();
        auto *drive = control<QComboBox>(chooser, "Drive");
        auto *newPath = control<QLineEdit>(chooser, "Txt_New_path");
        // A stored path that does not exist is still shown as stored.
        QCOMPARE(newPath->text(), "/no/such/folder/");
        const int root = drive->findData("/");
        if (root < 0)
            QSKIP("no volume mounted at /");
        QCOMPARE(drive->currentIndex(), root);
        // Another volume moves the tree to its root; back on "/" the root case.
        int other = -1;
        for (int i = 0; i < drive->count() && other < 0; ++i) {
            const QStorageInfo info(drive->itemData(i).toString());
            if (i != root && info.isReady())
                other = i;
        }
        if (other >= 0) {
            drive->setCurrentIndex(other);
            QCOMPARE(newPath->text(), drive->itemData(other).toString() + "/");
            drive->setCurrentIndex(root);
            QCOMPARE(newPath->text(), "//");
        }
        chooser->close();
    }
};

QTEST_MAIN(TestOptionsDialog)
#include "test_options_dialog.moc"
