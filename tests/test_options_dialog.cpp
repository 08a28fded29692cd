// The options dialog and the destination-folder chooser, driven through their
// controls the way a user would, against an isolated settings store.
#include "core/settings.h"
#include "display/bar_painter.h"
#include "display/ui/picture_box.h"
#include "options/ui/form3.h"
#include "options/ui/form4.h"

#include <QtTest>
#include <QtWidgets>

namespace {
using Values = QMap<QString, QString>;

const Values ColourDefaults = {{"mainbarreback", "16777215"}, {"secbarreback", "16777215"},
                               {"mainbarrefor", "255"}, {"secbarrefor", "8421631"}, {"graphback", "16777215"},
                               {"graphfor", "8421631"}, {"graphmodem", "0"}, {"ShowModem", "1"}};

Values storedValues()
{
    Values m;
    for (const char *k : {"FilePath", "packsize", "modemspeed", "mainbarreback", "secbarreback", "mainbarrefor",
                          "secbarrefor", "graphback", "graphfor", "graphmodem", "ShowModem"})
        m.insert(k, Settings::read(k, QStringLiteral("<missing>")));
    return m;
}

// Stores a full set with every colour distinct and none of them a default.
Values storeSample(const QString &pack, const QString &speed)
{
    const Values m = {{"FilePath", "/srv/downloads/"}, {"packsize", pack}, {"modemspeed", speed},
                      {"mainbarreback", "1193046"}, {"secbarreback", "65280"}, {"mainbarrefor", "12345"},
                      {"secbarrefor", "16711680"}, {"graphback", "8355711"}, {"graphfor", "4210752"},
                      {"graphmodem", "255"}, {"ShowModem", "0"}};
    for (auto it = m.begin(); it != m.end(); ++it)
        Settings::write(it.key(), it.value());
    return m;
}

template<typename T>
T *control(QWidget *w, const char *name)
{
    return w->findChild<T *>(QLatin1String(name));
}

void click(QWidget *w, const char *button)
{
    control<QAbstractButton>(w, button)->click();
}

QByteArray settingsFile()
{
    QFile file(Settings::filePath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
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

    void init() { QFile::remove(Settings::filePath()); }

    void cleanup()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox *>(w) || qobject_cast<Form3 *>(w) || qobject_cast<Form4 *>(w))
                w->deleteLater();
        flushDeletes();
    }

    // A fresh dialog: one frame per tab, and the defaults on OK.
    void tabsAndDefaults()
    {
        Form3 *f = open();
        f->show();
        QCOMPARE(f->windowTitle(), "Options");
        auto *tabs = control<QTabBar>(f, "Choix");
        QCOMPARE(tabs->count(), 3);
        const char *frames[] = {"Frm_Main", "Frm_Barre", "Frm_Graph"};
        for (int tab : {1, 2, 0}) {
            tabs->setCurrentIndex(tab);
            for (int i = 0; i < 3; ++i)
                QCOMPARE(control<QWidget>(f, frames[i])->isVisible(), i == tab);
        }
        click(f, "Cmd_OK");
        Values expected = ColourDefaults;
        expected.insert({{"FilePath", QDir::cleanPath(m_home.path()) + "/received/"}, {"packsize", "512000"},
                         {"modemspeed", "56"}});
        QCOMPARE(storedValues(), expected);
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
        const Values before = storeSample(pack, speed);
        Form3 *f = open();
        for (const char *name : {"Opt_Pack_5mb", "Opt_Pack_1mb", "Opt_Pack_2mb"})
            QCOMPARE(control<QRadioButton>(f, name)->isChecked(), pickedPack == name);
        QVERIFY(control<QRadioButton>(f, pickedSpeed.toLatin1())->isChecked());
        const bool typed = pickedSpeed == "Opt_Modem_Other";
        QCOMPARE(control<QLineEdit>(f, "Txt_Modem_Other")->isEnabled(), typed);
        if (typed)
            QCOMPARE(control<QLineEdit>(f, "Txt_Modem_Other")->text(), speed);
        QCOMPARE(control<QCheckBox>(f, "Chk_Show_Modem")->text(), "Show modem " + speed + "K (recommended)");
        click(f, "Cmd_OK");
        QCOMPARE(storedValues(), before);
    }

    // The same edits, then OK or Cancel; opened from the new-project dialog, the
    // dialog goes back there, which refreshes itself from what OK has just stored.
    void editsThenClose_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("marker");
        QTest::newRow("OK") << "Cmd_OK" << "";
        QTest::newRow("Cancel") << "Cmd_Annuler" << "";
        QTest::newRow("OK, from the new project") << "Cmd_OK" << "from Form2";
    }

    void editsThenClose()
    {
        QFETCH(QString, button);
        QFETCH(QString, marker);
        Values expected = storeSample("1024000", "256");
        const QByteArray before = settingsFile();
        QPointer<Form3> f = open();
        f->setFromNewProject(marker);
        QSignalSpy toMain(f.data(), &Form3::returnToMainWindow);
        Values whenBack;
        connect(f, &Form3::returnToNewProject, this, [&] {
            whenBack = storedValues();
            QVERIFY(f->fromNewProject().isEmpty());
        });
        f->show();
        QTest::keyClicks(control<QLineEdit>(f, "Txt_Download_Path"), "x/");
        click(f, "Opt_Pack_2mb");
        click(f, "Opt_Modem_Other");
        auto *other = control<QLineEdit>(f, "Txt_Modem_Other");
        other->selectAll();
        QTest::keyClicks(other, "300");
        click(f, "Chk_Show_Modem");
        f->colorChooser = [](const QColor &) { return QColor(Qt::green); };
        click(f, "Cmd_Graph_back");
        QVERIFY(f->findChildren<QMessageBox *>().isEmpty());
        click(f, button.toLatin1());

        if (button == "Cmd_Annuler") {
            QCOMPARE(settingsFile(), before);
        } else {
            expected.insert({{"FilePath", "/srv/downloads/x/"}, {"packsize", "2048000"}, {"modemspeed", "300"},
                             {"ShowModem", "1"}, {"graphback", "65280"}});
            QCOMPARE(storedValues(), expected);
        }
        QCOMPARE(toMain.count(), marker.isEmpty() ? 1 : 0);
        QCOMPARE(whenBack, marker.isEmpty() ? Values() : expected);
        flushDeletes();
        QVERIFY(f.isNull());
    }

    void nonNumericSpeedIsReplaced()
    {
        Settings::write("modemspeed", "64");
        Form3 *f = open();
        click(f, "Opt_Modem_Other");
        auto *other = control<QLineEdit>(f, "Txt_Modem_Other");
        auto *speed = control<QLineEdit>(f, "Txt_Modem_Speed");
        const QString replaced = QLocale().toString(33.6);
        for (const char *typed : {"48k", ""}) {
            other->setText(typed);
            const QList<QMessageBox *> boxes = f->findChildren<QMessageBox *>();
            QCOMPARE(boxes.size(), 1);
            QCOMPARE(boxes[0]->windowTitle(), "Error");
            QCOMPARE(boxes[0]->icon(), QMessageBox::Critical);
            QCOMPARE(boxes[0]->text(), "Please enter only numeric informations !");
            QVERIFY(boxes[0]->isVisible());
            delete boxes[0];
            QCOMPARE(other->text(), replaced);
            QCOMPARE(speed->text(), replaced);
            QCOMPARE(control<QCheckBox>(f, "Chk_Show_Modem")->text(), "Show modem " + replaced + "K (recommended)");
        }
        // A fixed speed chosen after a typed one wins, and the typed field locks.
        click(f, "Opt_Modem_128k");
        QVERIFY(!other->isEnabled());
        click(f, "Cmd_OK");
        QCOMPARE(Settings::read("modemspeed", {}), "128");
    }

    void previewBarsCountToHundredAndWrap()
    {
        Form3 *f = open();
        for (int guard = 0; f->previewCounter() != 100 && guard < 101; ++guard)
            f->timerBarreTick();
        QCOMPARE(f->previewCounter(), 100);
        for (int step = 0; step <= 100; ++step) {
            f->timerBarreTick();
            QCOMPARE(f->previewCounter(), step);
        }
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
        auto drawsAnything = [&] {
            f->drawGraphPreview();
            QImage img = graph->image().convertToFormat(QImage::Format_RGB32), blank = img;
            blank.fill(graph->backColor());
            return img != blank;
        };

        // All samples 0: only the reference line is drawn, and only when shown.
        QCOMPARE(f->graphSamples(), QStringList(50, "0"));
        show->setChecked(false);
        QVERIFY(!drawsAnything());
        show->setChecked(true);
        QVERIFY(drawsAnything());

        // Samples come in at the end, between M/2 and 1.5 M.
        for (int i = 0; i < 120; ++i) {
            f->timerGraphTick();
            QCOMPARE(f->graphSamples().size(), 50);
            const int v = f->graphSamples().last().toInt();
            QVERIFY2(v >= 28 && v < 84, qPrintable(QString::number(v)));
        }
        show->setChecked(false);
        QVERIFY(drawsAnything());

        // A new speed starts the preview over.
        click(f, "Opt_Modem_1024k");
        QCOMPARE(f->graphSamples(), QStringList(50, "0"));
    }

    // Each colour button edits its own value, starting from the stored one; each
    // "Default" button then resets its own tab's values and nothing else.
    void colorAndDefaultButtons_data()
    {
        QTest::addColumn<QStringList>("buttons"); // "button=key"
        QTest::addColumn<QString>("byDefault");
        QTest::addColumn<QStringList>("reset"); // besides the colours of the tab
        QTest::newRow("bars") << QStringList{"Cmd_Main_Bar_1=mainbarreback", "Cmd_Main_Bar_2=mainbarrefor",
                                             "Cmd_Sec_Bar_1=secbarreback", "Cmd_Sec_Bar_2=secbarrefor"}
                              << "Cmd_Barre_Default" << QStringList();
        QTest::newRow("graph") << QStringList{"Cmd_Graph_back=graphback", "Cmd_Graph_for=graphfor",
                                              "Cmd_Graph_modem_color=graphmodem"}
                               << "Cmd_Graph_Default" << QStringList{"ShowModem"};
    }

    void colorAndDefaultButtons()
    {
        QFETCH(QStringList, buttons);
        QFETCH(QString, byDefault);
        QFETCH(QStringList, reset);
        Values expected = storeSample("2048000", "64");
        Form3 *f = open();
        QColor preset;
        for (int i = 0; i < buttons.size(); ++i) {
            f->colorChooser = [&](const QColor &current) {
                preset = current;
                return QColor(10 + i, 20, 30);
            };
            click(f, buttons[i].section('=', 0, 0).toLatin1());
            const QString key = buttons[i].section('=', 1);
            QCOMPARE(packedFromColor(preset), expected[key].toLongLong());
            expected[key] = QString::number(1971210 + i); // blue 30, green 20, red 10 + i
            reset << key;
        }
        click(f, "Cmd_OK");
        QCOMPARE(storedValues(), expected);

        click(f = open(), byDefault.toLatin1());
        click(f, "Cmd_OK");
        for (const QString &key : reset)
            expected[key] = ColourDefaults[key];
        QCOMPARE(storedValues(), expected);
    }

    void folderChooser()
    {
        QTemporaryDir dest;
        QVERIFY(QDir(dest.path()).mkpath("films/new"));
        const QString destDir = QDir::cleanPath(dest.path()), start = destDir + "/", films = start + "films/new";
        Settings::write("FilePath", start);
        Form3 *f = open();
        f->show();
        auto *path = control<QLineEdit>(f, "Txt_Download_Path");
        click(f, "Command1");
        QVERIFY(!f->isVisible());
        auto *chooser = f->findChild<Form4 *>();
        QVERIFY(chooser && chooser->isVisible());
        auto *newPath = control<QLineEdit>(chooser, "Txt_New_path");
        auto *tree = control<QTreeView>(chooser, "Dir");
        auto *model = qobject_cast<QFileSystemModel *>(tree->model());
        QCOMPARE(newPath->text(), start);
        QCOMPARE(model->filePath(tree->currentIndex()), destDir);

        // Another volume moves the tree to its root, "/" gives "//", and so does
        // picking the root folder; any other folder gives its path and one "/".
        auto *drive = control<QComboBox>(chooser, "Drive");
        const int root = drive->findData("/");
        QVERIFY(root >= 0);
        for (int i = 0; i < drive->count(); ++i) {
            if (i == root || !QStorageInfo(drive->itemData(i).toString()).isReady())
                continue;
            drive->setCurrentIndex(i);
            QCOMPARE(newPath->text(), drive->itemData(i).toString() + "/");
            drive->setCurrentIndex(root);
            QCOMPARE(newPath->text(), "//");
            break;
        }
        tree->setCurrentIndex(model->index(destDir));
        tree->setCurrentIndex(model->index("/"));
        QCOMPARE(newPath->text(), "//");
        tree->setCurrentIndex(model->index(films));
        QCOMPARE(newPath->text(), films + "/");
        click(chooser, "Cmd_OK");
        QVERIFY(f->isVisible());
        QCOMPARE(path->text(), films + "/");
        QCOMPARE(path->toolTip(), films + "/");

        // The chooser starts from the stored setting, not from the dialog's field;
        // its Cancel hands nothing back, its OK passes typed text on unchecked.
        for (const char *button : {"Cmd_Annuler", "Cmd_OK"}) {
            flushDeletes();
            QVERIFY(!f->findChild<Form4 *>());
            click(f, "Command1");
            chooser = f->findChild<Form4 *>();
            QCOMPARE(control<QLineEdit>(chooser, "Txt_New_path")->text(), start);
            control<QLineEdit>(chooser, "Txt_New_path")->setText("not a folder");
            click(chooser, button);
            QVERIFY(f->isVisible());
            QCOMPARE(path->text(), qstrcmp(button, "Cmd_OK") ? films + "/" : "not a folder");
        }
        // OK in the chooser, then Cancel in the dialog: the setting stays.
        click(f, "Cmd_Annuler");
        QCOMPARE(Settings::read("FilePath", {}), start);

        // A stored path that does not exist is still shown as stored, on "/".
        Settings::write("FilePath", "/no/such/folder/");
        chooser = new Form4;
        QCOMPARE(control<QLineEdit>(chooser, "Txt_New_path")->text(), "/no/such/folder/");
        QCOMPARE(control<QComboBox>(chooser, "Drive")->currentData().toString(), "/");
    }
};

QTEST_MAIN(TestOptionsDialog)
#include "test_options_dialog.moc"
