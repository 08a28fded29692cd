// A new project through the real windows: an address typed into the main window,
// the probe against a loopback server, the "New project" dialog confirmed,
// cancelled or sent through the options dialog, and what ends up in the store.
#include "app/settings.h"
#include "app/text_file.h"
#include "app/ui/form1.h"
#include "display/formatters.h"
#include "engine/download_manager.h"
#include "options/ui/form3.h"
#include "projects/ui/form2.h"
#include "support/test_http_server.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

namespace {
const QByteArray kColours = "bar1back:16777215\r\n"
                                    "bar1for:255\r\n"
                                    "bar2back:16777215\r\n"
                                    "bar2for:8421631\r\n"
                                    "graphback:16777215\r\n"
                                    "graphfor:8421631\r\n"
                                    "graphmodem:0\r\n";
} // namespace

class TestNewProject : public QObject
{
    Q_OBJECT
private:
    enum class Answer { Ranges, NoRanges, Html };

    QTemporaryDir *m_dir = nullptr;
    TestHttpServer *m_server = nullptr;
    Form1 *m_w = nullptr;
    Answer m_answer = Answer::Ranges;

    QString home() const { return m_dir->path() + "/home"; }
    QString received() const { return home() + "/received/"; }
    QString projects() const { return home() + "/projects/"; }
    QString address() const { return m_server->baseUrl() + "/d/f.zip"; }
    QString stripped() const { return m_server->hostPort() + "/d/f.zip"; }

    static QByteArray readFile(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    // The project file a new HTTP project of the served 1048576-byte file gets.
    QByteArray expectedFile(const QString &url, const QString &path, const QByteArray &packsize,
                            const QByteArray &showmodem = "1") const
    {
        return "url:" + url.toUtf8() + "\r\nbytes:1048576\r\npath:" + path.toUtf8() + "\r\npacksize:"
               + packsize + "\r\nshowmodem:" + showmodem + "\r\n" + kColours
               + "Type:0\r\nstatus:1\r\n";
    }

    static Form2 *findDialog()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *d = qobject_cast<Form2 *>(w); d && d->isVisible())
                return d;
        return nullptr;
    }

    static Form3 *findOptions()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *d = qobject_cast<Form3 *>(w); d && d->isVisible())
                return d;
        return nullptr;
    }

    static QList<QMessageBox *> messageBoxes()
    {
        QList<QMessageBox *> boxes;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *b = qobject_cast<QMessageBox *>(w); b && b->isVisible())
                boxes.append(b);
        return boxes;
    }

    void typeAndEnter(const QString &url)
    {
        m_w->Txt_Url->clear();
        QTest::keyClicks(m_w->Txt_Url, url);
        QTest::keyClick(m_w->Txt_Url, Qt::Key_Return);
    }

    // Types the address, presses Enter, and waits for the dialog (null when
    // none came).
    Form2 *openDialog(const QString &url)
    {
        typeAndEnter(url);
        return QTest::qWaitFor([] { return findDialog() != nullptr; }, 10000) ? findDialog() : nullptr;
    }

    static QStringList row(QTreeWidget *view, int r)
    {
        QTreeWidgetItem *it = view->topLevelItem(r);
        return it ? QStringList{it->text(1), it->text(2), it->text(3), it->text(4)} : QStringList();
    }

private slots:
    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        QDir().mkpath(home());
        qputenv("ZOV_KESTRA_HOME", home().toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_dir->path() + "/config").toUtf8());
        Settings::setApplicationName("zov-kestra-download");
        // A configured program (no options notice at start-up), with the pack
        // size of the project file example.
        Settings::write("FilePath", received());
        Settings::write("packsize", "2048000");
        Settings::write("modemspeed", "56");

        m_answer = Answer::Ranges;
        m_server = new TestHttpServer;
        QVERIFY(m_server->start());
        m_server->setHandler([this](const TestRequest &req, TestConnection *c) {
            if (req.target != "/d/f.zip") {
                c->send(TestHttpServer::response(404, "Not Found", {"Content-Type: text/html"}, "<p>no</p>"));
                return;
            }
            switch (m_answer) {
            case Answer::Ranges:
                c->send(TestHttpServer::head(206, "Partial Content",
                                             {"Content-Type: application/zip", "Content-Length: 1048576",
                                              "Content-Range: bytes 0-1048575/1048576"}));
                break;
            case Answer::NoRanges:
                c->send(TestHttpServer::head(200, "OK", {"Content-Type: application/zip",
                                                         "Content-Length: 1048576"}));
                break;
            case Answer::Html:
                c->send(TestHttpServer::response(200, "OK", {"Content-Type: text/html"}, "<html></html>"));
                break;
            }
        });

        m_w = new Form1({});
        QSignalSpy started(m_w, &Form1::startupFinished);
        m_w->show();
        QVERIFY(started.wait(5000));
        QVERIFY(m_w->isEnabled());
        // The queue would take a waiting project a few seconds after it is
        // stored; these cases look at the project as the dialog stored it.
        m_w->engine().Timer_Start_Download->stop();
    }

    void cleanup()
    {
        delete m_w;
        m_w = nullptr;
        for (QMessageBox *b : messageBoxes())
            b->close();
        QList<QPointer<QWidget>> dialogs;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (qobject_cast<Form2 *>(w) || qobject_cast<Form3 *>(w))
                dialogs.append(w);
        for (const QPointer<QWidget> &w : dialogs)
            delete w.data();
        m_server->stop();
        delete m_server;
        m_server = nullptr;
        delete m_dir;
        m_dir = nullptr;
    }

    // Enter in the address box, the dialog's fields, "Download", and the store;
    // then the same address again through "Add project", which gets a new name
    // and goes after the first in the queue.
    void confirmedProjectIsStored()
    {
        typeAndEnter(address());
        // The probe has started: the command cannot run twice.
        QCOMPARE(m_w->Lbl_Status_H->text(), QString("Testing URL..."));
        QVERIFY(!m_w->Txt_Url->isEnabled());
        QVERIFY(!m_w->Cmd_add->isEnabled());

        QTRY_VERIFY_WITH_TIMEOUT(findDialog() != nullptr, 10000);
        Form2 *d = findDialog();
        QCOMPARE(d->windowTitle(), QString("New project"));
        QCOMPARE(d->Txt_FileSize->text(), QString("1.02 Mb"));
        QCOMPARE(d->Txt_Project_Name->text(), QString("f"));
        QCOMPARE(d->Txt_Project_Name->toolTip(), QString("f"));
        QCOMPARE(d->Txt_Url->text(), stripped());
        QCOMPARE(d->Txt_Url->toolTip(), stripped());
        QCOMPARE(d->Txt_Pack->text(), QString("2.00 Mb"));
        QCOMPARE(d->Txt_Pack_size_ok->text(), QString("2048000"));
        QCOMPARE(d->Txt_File_size_ok->text(), QString("1048576"));
        QVERIFY(!d->Txt_Pack_size_ok->isVisible());
        QVERIFY(!d->Txt_File_size_ok->isVisible());
        QCOMPARE(d->Txt_dest->text(), received());
        QCOMPARE(d->Txt_dest->toolTip(), received());
        QVERIFY(d->Chk_modem->isChecked());
        QCOMPARE(d->Cmd_Downloader->text(), QString("Download"));
        QCOMPARE(d->Cmd_Annuler->text(), QString("Cancel"));
        QCOMPARE(d->Cmd_Edit->text(), QString("Edit..."));

        // The main window waits for the dialog; the queue with it.
        QVERIFY(!m_w->isEnabled());
        QVERIFY(!m_w->engine().windowEnabled());
        QCOMPARE(m_w->Txt_Url->text(), stripped());
        QCOMPARE(m_w->Lbl_Status_H->text(), QString("Nothing to do"));
        QVERIFY(!QFileInfo::exists(projects() + "f"));

        QTest::mouseClick(d->Cmd_Downloader, Qt::LeftButton);
        QTRY_VERIFY(m_w->Txt_Url->text().isEmpty());
        QVERIFY(findDialog() == nullptr);
        QVERIFY(m_w->isEnabled());
        QVERIFY(m_w->Txt_Url->isEnabled());
        QVERIFY(!m_w->engine().Timer_Valide->isActive());

        QCOMPARE(readFile(projects() + "f/project.zov"), expectedFile(stripped(), received(), "2048000"));
        QCOMPARE(readFile(projects() + "main.zov"), QByteArray("f\r\n"));
        QCOMPARE(m_w->Lst_Main->topLevelItemCount(), 1);
        QCOMPARE(row(m_w->Lst_Main, 0), QStringList({"f", stripped(), "1.02 Mb", "Waiting"}));

        // The same file again, through the button: the name is taken.
        m_w->Txt_Url->setText(address());
        QTest::mouseClick(m_w->Cmd_add, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(findDialog() != nullptr, 10000);
        d = findDialog();
        const QString second = d->Txt_Project_Name->text();
        QVERIFY2(QRegularExpression("^f_\\d+$").match(second).hasMatch(), qPrintable(second));
        QTest::mouseClick(d->Cmd_Downloader, Qt::LeftButton);
        QTRY_VERIFY(m_w->Txt_Url->text().isEmpty());
        QCOMPARE(readFile(projects() + "main.zov"), "f\r\n" + second.toUtf8() + "\r\n");
        QCOMPARE(readFile(projects() + second + "/project.zov"),
                 expectedFile(stripped(), received(), "2048000"));
        QCOMPARE(readFile(projects() + "f/project.zov"), expectedFile(stripped(), received(), "2048000"));
        QCOMPARE(m_w->Lst_Main->topLevelItemCount(), 2);
        QCOMPARE(row(m_w->Lst_Main, 0), QStringList({"f", stripped(), "1.02 Mb", "Waiting"}));
        QCOMPARE(row(m_w->Lst_Main, 1), QStringList({second, stripped(), "1.02 Mb", "Waiting"}));
        QCOMPARE(m_w->engine().store().Lst_Projects, QStringList({"f", second}));
        QCOMPARE(m_w->engine().store().Lst_Download_byte, QStringList({"1048576", "1048576"}));
    }

    void cancelWritesNothing_data()
    {
        QTest::addColumn<bool>("byFrame");
        QTest::newRow("Cancel button") << false;
        QTest::newRow("window frame") << true;
    }

    void cancelWritesNothing()
    {
        QFETCH(bool, byFrame);
        Form2 *d = openDialog(address());
        QVERIFY(d);
        if (byFrame)
            d->close();
        else
            QTest::mouseClick(d->Cmd_Annuler, Qt::LeftButton);
        QTRY_VERIFY(findDialog() == nullptr);
        QVERIFY(m_w->isEnabled());
        QVERIFY(m_w->engine().windowEnabled());
        QCOMPARE(m_w->Txt_Url->text(), stripped());
        QVERIFY(m_w->Txt_Url->isEnabled());
        QVERIFY(m_w->Cmd_add->isEnabled());
        // Nothing is armed, so nothing arrives later either.
        QVERIFY(!m_w->engine().Timer_Valide->isActive());
        QVERIFY(!QFileInfo::exists(projects() + "f"));
        QVERIFY(!QFileInfo::exists(projects() + "main.zov"));
        QCOMPARE(m_w->Lst_Main->topLevelItemCount(), 0);
        QVERIFY(m_w->engine().store().Lst_Projects.isEmpty());

        // The kept address probes again as it is.
        QTest::keyClick(m_w->Txt_Url, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(findDialog() != nullptr, 10000);
        QCOMPARE(findDialog()->Txt_Url->text(), stripped());
        QCOMPARE(m_server->requests().size(), 2);
        QCOMPARE(m_server->requests().last().target, QByteArray("/d/f.zip"));
    }

    // "Edit..." goes through the options dialog and back; the project is stored
    // with what was chosen there.
    void editedOptionsAreStored()
    {
        Form2 *d = openDialog(address());
        QVERIFY(d);
        QTest::mouseClick(d->Cmd_Edit, Qt::LeftButton);
        QTRY_VERIFY(findOptions() != nullptr);
        QVERIFY(!d->isVisible());
        QVERIFY(!m_w->isEnabled());
        Form3 *o = findOptions();

        const QString otherDest = m_dir->path() + "/elsewhere/";
        auto *path = o->findChild<QLineEdit *>("Txt_Download_Path");
        auto *oneMb = o->findChild<QRadioButton *>("Opt_Pack_1mb");
        auto *showModem = o->findChild<QCheckBox *>("Chk_Show_Modem");
        auto *ok = o->findChild<QPushButton *>("Cmd_OK");
        QVERIFY(path && oneMb && showModem && ok);
        path->clear();
        QTest::keyClicks(path, otherDest);
        QTest::mouseClick(oneMb, Qt::LeftButton);
        QVERIFY(oneMb->isChecked());
        if (showModem->isChecked())
            QTest::mouseClick(showModem, Qt::LeftButton);
        QVERIFY(!showModem->isChecked());
        QTest::mouseClick(ok, Qt::LeftButton);

        QTRY_VERIFY(findDialog() == d);
        QVERIFY(findOptions() == nullptr);
        QVERIFY(!m_w->isEnabled());
        QCOMPARE(d->Txt_Pack->text(), QString("1.00 Mb"));
        QCOMPARE(d->Txt_Pack_size_ok->text(), QString("1024000"));
        QCOMPARE(d->Txt_dest->text(), otherDest);
        QCOMPARE(d->Txt_dest->toolTip(), otherDest);
        QVERIFY(!d->Chk_modem->isChecked());
        // What the probe found stays.
        QCOMPARE(d->Txt_Project_Name->text(), QString("f"));
        QCOMPARE(d->Txt_File_size_ok->text(), QString("1048576"));

        QTest::mouseClick(d->Cmd_Downloader, Qt::LeftButton);
        QTRY_VERIFY(m_w->Txt_Url->text().isEmpty());
        QVERIFY(m_w->isEnabled());
        QCOMPARE(readFile(projects() + "f/project.zov"), expectedFile(stripped(), otherDest, "1024000", "0"));
    }

    // A server that answers the range request with the whole file gets one pack
    // of the file's size; the settings' pack size is left alone, also after a
    // visit to the options.
    void serverWithoutRanges()
    {
        m_answer = Answer::NoRanges;
        Form2 *d = openDialog(address());
        QVERIFY(d);
        QCOMPARE(d->Txt_Pack->text(), QString("1.02 Mb"));
        QCOMPARE(d->Txt_Pack_size_ok->text(), QString("1048576"));
        QCOMPARE(Settings::read("packsize", QString()), QString("2048000"));

        QTest::mouseClick(d->Cmd_Edit, Qt::LeftButton);
        QTRY_VERIFY(findOptions() != nullptr);
        Form3 *o = findOptions();
        auto *oneMb = o->findChild<QRadioButton *>("Opt_Pack_1mb");
        QVERIFY(oneMb);
        QTest::mouseClick(oneMb, Qt::LeftButton);
        QTest::mouseClick(o->findChild<QPushButton *>("Cmd_OK"), Qt::LeftButton);
        QTRY_VERIFY(findDialog() == d);
        QCOMPARE(Settings::read("packsize", QString()), QString("1024000"));
        QCOMPARE(d->Txt_Pack->text(), QString("1.02 Mb"));
        QCOMPARE(d->Txt_Pack_size_ok->text(), QString("1048576"));

        QTest::mouseClick(d->Cmd_Downloader, Qt::LeftButton);
        QTRY_VERIFY(m_w->Txt_Url->text().isEmpty());
        QCOMPARE(readFile(projects() + "f/project.zov"), expectedFile(stripped(), received(), "1048576"));
    }

    // An FTP address is stored with "Type:1".
    void ftpProjectIsTypeOne()
    {
        TestHttpServer ftp;
        QVERIFY(ftp.start());
        // The probe sends its whole log-in at once; the replies may come at once
        // too.
        ftp.setConnectHandler([](TestConnection *c) {
            c->send("220 ready\r\n331 password\r\n230 logged in\r\n200 binary\r\n213 4096\r\n");
        });
        const QString url = ftp.hostPort() + "/pub/g.bin";
        Form2 *d = openDialog("ftp://" + url);
        QVERIFY(d);
        QCOMPARE(d->Txt_FileSize->text(), QString("4.00 Kb"));
        QCOMPARE(d->Txt_Project_Name->text(), QString("g"));
        QCOMPARE(d->Txt_Url->text(), url);
        QCOMPARE(d->Txt_Pack_size_ok->text(), QString("2048000"));
        QTest::mouseClick(d->Cmd_Downloader, Qt::LeftButton);
        QTRY_VERIFY(m_w->Txt_Url->text().isEmpty());
        QCOMPARE(readFile(projects() + "g/project.zov"),
                 "url:" + url.toUtf8() + "\r\nbytes:4096\r\npath:" + received().toUtf8()
                     + "\r\npacksize:2048000\r\nshowmodem:1\r\n" + kColours + "Type:1\r\nstatus:1\r\n");
        QCOMPARE(row(m_w->Lst_Main, 0), QStringList({"g", url, "4.00 Kb", "Waiting"}));
        ftp.stop();
    }

    // A refused address: one message box, no dialog, the address kept for
    // correction, the window usable again.
    void probeFailureShowsMessage()
    {
        m_answer = Answer::Html;
        typeAndEnter(address());
        QTRY_VERIFY_WITH_TIMEOUT(!messageBoxes().isEmpty(), 10000);
        const QList<QMessageBox *> boxes = messageBoxes();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0]->windowTitle(), QString("Error"));
        QCOMPARE(boxes[0]->icon(), QMessageBox::Critical);
        QCOMPARE(boxes[0]->text(), QString("File not found or the URL don't point on a file !"));
        QVERIFY(findDialog() == nullptr);
        QVERIFY(m_w->isEnabled());
        QVERIFY(m_w->Txt_Url->isEnabled());
        QVERIFY(m_w->Cmd_add->isEnabled());
        QCOMPARE(m_w->Lbl_Status_H->text(), QString("Nothing to do"));
        QCOMPARE(m_w->Txt_Url->text(), stripped());
        QVERIFY(!QFileInfo::exists(projects() + "main.zov"));
        QVERIFY(!QFileInfo::exists(projects() + "f"));
    }
};

QTEST_MAIN(TestNewProject)
#include "test_new_project.moc"
