// The options dialog and the destination-folder chooser, driven through their
// controls the way a user would, against an isolated settings store.
#include "core/settings.h"
#include "display/bar_painter.h"
#include "options/ui/form3.h"
#include "options/ui/form4.h"

#include <QtTest>
#include <QtWidgets>

namespace {
using Values = QMap<QString, QString>;
const QStringList kKeys = {"FilePath", "packsize", "modemspeed", "mainbarreback", "secbarreback", "mainbarrefor",
                           "secbarrefor", "graphback", "graphfor", "graphmodem", "ShowModem"};
const QStringList kDefaults = {"", "512000", "56", "16777215", "16777215", "255", "8421631", "16777215", "8421631", "0", "1"};

// The store's values; with a pack size given, first stores a set whose colours are distinct and no default.
Values stored(const QString &pack = {}, const QString &speed = "64")
{
    const QStringList v = {"/srv/d/", pack, speed, "1193046", "65280", "12345", "16711680", "8355711", "4210752", "255", "0"};
    Values m;
    for (int i = 0; i < kKeys.size(); ++i) {
        if (!pack.isEmpty())
            Settings::write(kKeys[i], v[i]);
        m.insert(kKeys[i], Settings::read(kKeys[i], QStringLiteral("<missing>")));
    }
    return m;
}

void click(QWidget *w, const char *button)
{
    w->findChild<QAbstractButton *>(button)->click();
}

// Clicks a colour button and answers its chooser with pick (invalid: Cancel);
// returns the colour the chooser was preset to, invalid when none stayed open.
QColor chooseColour(QWidget *f, const char *button, const QColor &pick)
{
    // Fault: a chooser with an event loop of its own; the guard ends it, so the
    // click returns and the test fails instead of hanging.
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [] { if (QWidget *m = QApplication::activeModalWidget()) m->close(); });
    guard.start(5000);
    click(f, button);
    auto *dlg = f->findChild<QColorDialog *>();
    if (!guard.isActive() || !dlg || !dlg->isVisible())
        return QColor();
    const QColor preset = dlg->currentColor();
    dlg->setCurrentColor(pick.isValid() ? pick : QColor(Qt::cyan));
    pick.isValid() ? dlg->accept() : dlg->reject();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return preset;
}
} // namespace

class TestOptionsDialog : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home, m_config;

    static Form3 *open()
    {
        auto *f = new Form3;
        f->show();
        f->findChild<QTimer *>("Timer_Graph")->stop(); // random samples only where a test looks at them
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
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Fault: a stored value shown wrongly or changed by an OK without edits;
    // wrong defaults; a pack size none of the options offers overwritten.
    void okKeepsValues_data()
    {
        QTest::addColumn<QString>("pack");
        QTest::addColumn<QString>("speed");
        QTest::addColumn<QString>("picked"); // the pack and speed options shown
        QTest::newRow("nothing stored") << "" << "" << "Opt_Pack_5mb Opt_Modem_56k";
        QTest::newRow("2 Mb, 512 K") << "2048000" << "512" << "Opt_Pack_2mb Opt_Modem_512k";
        QTest::newRow("1 Mb, typed") << "1024000" << "100" << "Opt_Pack_1mb Opt_Modem_Other";
        QTest::newRow("unknown pack, typed decimal") << "0777" << "33.6" << "Opt_Modem_Other";
    }

    void okKeepsValues()
    {
        QFETCH(QString, pack);
        QFETCH(QString, speed);
        QFETCH(QString, picked);
        Values before = stored(pack, speed);
        for (int i = 0; pack.isEmpty() && i < kKeys.size(); ++i)
            before[kKeys[i]] = i ? kDefaults[i] : QDir::cleanPath(m_home.path()) + "/received/";
        Form3 *f = open();
        QStringList shown;
        for (QRadioButton *b : f->findChildren<QRadioButton *>())
            if (b->isChecked())
                shown << b->objectName();
        QCOMPARE(shown.join(' '), picked);
        QCOMPARE(f->findChild<QLineEdit *>("Txt_Modem_Other")->isEnabled(), picked.contains("Other"));
        click(f, "Cmd_OK");
        QCOMPARE(stored(), before);
    }

    // Fault: edits stored on Cancel or lost on OK; the dialog not going back to
    // the new-project dialog, which reads the settings at that moment.
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
        Values expected = stored("2048000");
        QPointer<Form3> f = open();
        f->setFromNewProject(marker);
        QSignalSpy toMain(f.data(), &Form3::returnToMainWindow);
        Values whenBack;
        connect(f, &Form3::returnToNewProject, this, [&] { whenBack = stored(); });
        QTest::keyClicks(f->findChild<QLineEdit *>("Txt_Download_Path"), "x/");
        click(f, "Opt_Pack_1mb");
        click(f, "Opt_Modem_Other");
        f->findChild<QLineEdit *>("Txt_Modem_Other")->setText("300");
        click(f, "Chk_Show_Modem");
        QCOMPARE(chooseColour(f, "Cmd_Graph_back", Qt::green), QColor(0x7f7f7f));
        click(f, button.toLatin1());
        if (button == "Cmd_OK")
            expected.insert({{"FilePath", "/srv/d/x/"}, {"packsize", "1024000"}, {"modemspeed", "300"},
                             {"ShowModem", "1"}, {"graphback", "65280"}});
        QCOMPARE(stored(), expected);
        QCOMPARE(toMain.count(), marker.isEmpty() ? 1 : 0);
        QCOMPARE(whenBack, marker.isEmpty() ? Values() : expected);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(f.isNull());
    }

    // Fault: a button setting another colour, a chooser not preset to the current
    // colour, a cancel that changes it, a "Default" reaching into the other tab.
    void colourButtons()
    {
        const char *buttons[] = {"Cmd_Main_Bar_1", "Cmd_Sec_Bar_1", "Cmd_Main_Bar_2", "Cmd_Sec_Bar_2",
                                 "Cmd_Graph_back", "Cmd_Graph_for", "Cmd_Graph_modem_color"};
        Values expected = stored("2048000");
        Form3 *f = open();
        for (int i = 0; i < 7; ++i) {
            const QString key = kKeys[i + 3];
            QCOMPARE(packedFromColor(chooseColour(f, buttons[i], QColor())), expected[key].toLongLong());
            QCOMPARE(packedFromColor(chooseColour(f, buttons[i], QColor(10 + i, 20, 30))), expected[key].toLongLong());
            expected[key] = QString::number(1971210 + i); // blue 30, green 20, red 10 + i
        }
        click(f, "Cmd_OK");
        QCOMPARE(stored(), expected);
        for (const auto &[byDefault, from, to] : {std::tuple{"Cmd_Barre_Default", 3, 7}, {"Cmd_Graph_Default", 7, 11}}) {
            click(f = open(), byDefault);
            click(f, "Cmd_OK");
            for (int k = from; k < to; ++k)
                expected[kKeys[k]] = kDefaults[k];
            QCOMPARE(stored(), expected);
        }
    }

    // Fault: letters (or nothing) accepted as a line speed, silently; a fixed
    // speed chosen later not winning; the preview bars skipping or passing 100.
    void speedAndPreview()
    {
        Form3 *f = open();
        click(f, "Opt_Modem_Other");
        for (const char *typed : {"48k", ""}) {
            f->findChild<QLineEdit *>("Txt_Modem_Other")->setText(typed);
            const QList<QMessageBox *> boxes = f->findChildren<QMessageBox *>();
            QVERIFY(boxes.size() == 1 && boxes[0]->isVisible());
            QCOMPARE(boxes[0]->windowTitle() + ": " + boxes[0]->text(), "Error: Please enter only numeric informations !");
            delete boxes[0];
            QCOMPARE(f->findChild<QLineEdit *>("Txt_Modem_Speed")->text(), QLocale().toString(33.6));
        }
        click(f, "Opt_Modem_128k");
        for (int tick = 0; tick < 303; ++tick) {
            const int before = f->previewCounter();
            f->timerBarreTick();
            QCOMPARE(f->previewCounter(), before == 100 ? 0 : before + 1);
        }
        click(f, "Cmd_OK");
        QCOMPARE(Settings::read("modemspeed", {}), "128");
    }

    // Fault: the chooser starting from the dialog's field instead of the stored
    // folder, the root not written "//", its Cancel handing a folder back.
    void folderChooser()
    {
        QTemporaryDir dest;
        QVERIFY(QDir(dest.path()).mkpath("films/new"));
        const QString start = QDir::cleanPath(dest.path()) + "/", films = start + "films/new";
        Settings::write("FilePath", start);
        Form3 *f = open();
        auto *path = f->findChild<QLineEdit *>("Txt_Download_Path");
        for (const char *button : {"Cmd_Annuler", "Cmd_OK", "Cmd_Annuler"}) {
            click(f, "Command1");
            auto *chooser = f->findChild<Form4 *>();
            QVERIFY(!f->isVisible() && chooser && chooser->isVisible());
            auto *newPath = chooser->findChild<QLineEdit *>("Txt_New_path");
            QCOMPARE(newPath->text(), start);
            auto *tree = chooser->findChild<QTreeView *>("Dir");
            tree->setCurrentIndex(qobject_cast<QFileSystemModel *>(tree->model())->index("/"));
            QCOMPARE(newPath->text(), "//");
            tree->setCurrentIndex(qobject_cast<QFileSystemModel *>(tree->model())->index(films));
            const QString before = path->text();
            click(chooser, button);
            QVERIFY(f->isVisible());
            QCOMPARE(path->text(), qstrcmp(button, "Cmd_OK") ? before : films + "/");
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        click(f, "Cmd_Annuler");
        QCOMPARE(Settings::read("FilePath", {}), start);
    }
};

QTEST_MAIN(TestOptionsDialog)
#include "test_options_dialog.moc"
