// A new project through the real windows: an address typed into the main window,
// the probe against a loopback server, the "New project" dialog confirmed,
// cancelled or sent through the options dialog, and what ends up in the store.
#include "core/settings.h"
#include "core/text_file.h"
#include "app/ui/form1.h"
#include "engine/download_manager.h"
#include "options/ui/form3.h"
#include "projects/ui/form2.h"
#include "support/test_http_server.h"

#include <QtTest>
#include <QtWidgets>

class TestNewProject : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir *m_dir = nullptr;
    TestHttpServer *m_server = nullptr;
    Form1 *m_w = nullptr;
    QByteArray m_reply; // what the server answers for /d/f.zip

    QString received() const { return m_dir->path() + "/home/received/"; }
    QString projects() const { return m_dir->path() + "/home/projects/"; }
    QString address() const { return m_server->baseUrl() + "/d/f.zip"; }
    QString stripped() const { return m_server->hostPort() + "/d/f.zip"; }

    // The project file of a new project with the default colours.
    static QByteArray projectFile(const QString &url, const QString &path, const QByteArray &packsize,
                                  const QByteArray &showModem = "1", const QByteArray &bytes = "1048576",
                                  const QByteArray &type = "0")
    {
        return "url:" + url.toUtf8() + "\r\nbytes:" + bytes + "\r\npath:" + path.toUtf8() + "\r\npacksize:"
               + packsize + "\r\nshowmodem:" + showModem
               + "\r\nbar1back:16777215\r\nbar1for:255\r\nbar2back:16777215\r\nbar2for:8421631\r\n"
                 "graphback:16777215\r\ngraphfor:8421631\r\ngraphmodem:0\r\nType:"
               + type + "\r\nstatus:1\r\n";
    }

    template<typename T>
    static QList<T *> shown()
    {
        QList<T *> found;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *t = qobject_cast<T *>(w); t && t->isVisible())
                found.append(t);
        return found;
    }
    static Form2 *dialog() { return shown<Form2>().value(0); }

    void typeAndEnter(const QString &url)
    {
        m_w->Txt_Url->clear();
        QTest::keyClicks(m_w->Txt_Url, url);
        QTest::keyClick(m_w->Txt_Url, Qt::Key_Return);
    }

    void download(Form2 *d)
    {
        QTest::mouseClick(d->Cmd_Downloader, Qt::LeftButton);
        QTRY_VERIFY(m_w->Txt_Url->text().isEmpty());
        QVERIFY(!dialog());
        QVERIFY(m_w->isEnabled() && m_w->Txt_Url->isEnabled());
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
        QDir().mkpath(m_dir->path() + "/home");
        qputenv("ZOV_KESTRA_HOME", (m_dir->path() + "/home").toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_dir->path() + "/config").toUtf8());
        Settings::setApplicationName("zov-kestra-download");
        // A configured program (no options notice at start-up).
        Settings::write("FilePath", received());
        Settings::write("packsize", "2048000");
        Settings::write("modemspeed", "56");

        m_reply = TestHttpServer::head(206, "Partial Content",
                                       {"Content-Type: application/zip", "Content-Length: 1048576",
                                        "Content-Range: bytes 0-1048575/1048576"});
        m_server = new TestHttpServer;
        QVERIFY(m_server->start());
        m_server->setHandler([this](const TestRequest &req, TestConnection *c) {
            c->send(req.target == "/d/f.zip" ? m_reply : TestHttpServer::response(404, "Not Found", {}, "no"));
        });

        m_w = new Form1({});
        QSignalSpy started(m_w, &Form1::startupFinished);
        m_w->show();
        QVERIFY(started.wait(5000));
        // These cases look at the project as the dialog stored it, before the
        // queue takes it.
        m_w->engine().Timer_Start_Download->stop();
    }

    void cleanup()
    {
        delete std::exchange(m_w, nullptr);
        for (QWidget *w : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox *>(w) || qobject_cast<Form2 *>(w) || qobject_cast<Form3 *>(w))
                w->deleteLater();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        m_server->stop();
        delete std::exchange(m_server, nullptr);
        delete std::exchange(m_dir, nullptr);
    }

    // Enter in the address box, the dialog's fields, "Download", and the store;
    // then the same address again through "Add project", which gets a new name
    // and goes after the first in the queue. An FTP project is stored with "Type:1".
    void confirmedProjectIsStored_data()
    {
        QTest::addColumn<bool>("ftp");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("sizeText");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("HTTP") << false << "f" << "1.02 Mb" << QByteArray("1048576");
        QTest::newRow("FTP") << true << "g" << "4.00 Kb" << QByteArray("4096");
    }

    void confirmedProjectIsStored()
    {
        QFETCH(bool, ftp);
        QFETCH(QString, name);
        QFETCH(QString, sizeText);
        QFETCH(QByteArray, bytes);
        TestHttpServer ftpServer;
        QVERIFY(ftpServer.start());
        // The probe sends its whole log-in at once; the replies may come at once too.
        ftpServer.setConnectHandler([](TestConnection *c) {
            c->send("220 ready\r\n331 password\r\n230 logged in\r\n200 binary\r\n213 4096\r\n");
        });
        const QString url = ftp ? ftpServer.hostPort() + "/pub/g.bin" : stripped();
        const QByteArray file = projectFile(url, received(), "2048000", "1", bytes, ftp ? "1" : "0");

        typeAndEnter(ftp ? "ftp://" + url : address());
        // The probe has started: the command cannot run twice.
        QCOMPARE(m_w->Lbl_Status_H->text(), "Testing URL...");
        QVERIFY(!m_w->Txt_Url->isEnabled() && !m_w->Cmd_add->isEnabled());

        QTRY_VERIFY_WITH_TIMEOUT(dialog(), 10000);
        Form2 *d = dialog();
        QCOMPARE(d->windowTitle(), "New project");
        QCOMPARE(QStringList({d->Txt_FileSize->text(), d->Txt_Project_Name->text(), d->Txt_Project_Name->toolTip(),
                              d->Txt_Url->text(), d->Txt_Url->toolTip(), d->Txt_Pack->text(),
                              d->Txt_Pack_size_ok->text(), d->Txt_File_size_ok->text(), d->Txt_dest->text(),
                              d->Txt_dest->toolTip(), d->Cmd_Downloader->text(), d->Cmd_Annuler->text(),
                              d->Cmd_Edit->text()}),
                 QStringList({sizeText, name, name, url, url, "2.00 Mb", "2048000", bytes, received(), received(),
                              "Download", "Cancel", "Edit..."}));
        QVERIFY(!d->Txt_Pack_size_ok->isVisible() && !d->Txt_File_size_ok->isVisible());

        // The main window waits for the dialog; the queue with it.
        QVERIFY(!m_w->isEnabled());
        QVERIFY(!m_w->engine().windowEnabled());
        QCOMPARE(m_w->Txt_Url->text(), url);
        QCOMPARE(m_w->Lbl_Status_H->text(), "Nothing to do");

        download(d);
        QVERIFY(!m_w->engine().Timer_Valide->isActive());
        QCOMPARE(TextFile::read(projects() + name + "/project.zov"), file);
        QCOMPARE(TextFile::read(projects() + "main.zov"), name.toUtf8() + "\r\n");
        QCOMPARE(m_w->Lst_Main->topLevelItemCount(), 1);
        QCOMPARE(row(m_w->Lst_Main, 0), QStringList({name, url, sizeText, "Waiting"}));

        // The same file again, through the button: the name is taken.
        m_w->Txt_Url->setText(ftp ? "ftp://" + url : address());
        QTest::mouseClick(m_w->Cmd_add, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(dialog(), 10000);
        const QString second = dialog()->Txt_Project_Name->text();
        QVERIFY2(QRegularExpression("^" + name + "_\\d+$").match(second).hasMatch(), qPrintable(second));
        download(dialog());
        QCOMPARE(TextFile::read(projects() + "main.zov"), (name + "\r\n" + second + "\r\n").toUtf8());
        QCOMPARE(TextFile::read(projects() + second + "/project.zov"), file);
        QCOMPARE(TextFile::read(projects() + name + "/project.zov"), file);
        QCOMPARE(m_w->Lst_Main->topLevelItemCount(), 2);
        QCOMPARE(row(m_w->Lst_Main, 1), QStringList({second, url, sizeText, "Waiting"}));
        QCOMPARE(m_w->engine().store().Lst_Projects, QStringList({name, second}));
        ftpServer.stop();
    }

    // Cancelled, closed by the window frame, or refused by the probe: nothing is
    // stored, the address stays for correction, and the window is usable again.
    void nothingStored_data()
    {
        QTest::addColumn<QString>("way");
        QTest::newRow("Cancel button") << "cancel";
        QTest::newRow("window frame") << "frame";
        QTest::newRow("HTML page") << "html";
    }

    void nothingStored()
    {
        QFETCH(QString, way);
        if (way == "html")
            m_reply = TestHttpServer::response(200, "OK", {"Content-Type: text/html"}, "<html></html>");
        typeAndEnter(address());
        if (way == "html") {
            QTRY_VERIFY_WITH_TIMEOUT(!shown<QMessageBox>().isEmpty(), 10000);
            const QList<QMessageBox *> boxes = shown<QMessageBox>();
            QCOMPARE(boxes.size(), 1);
            QCOMPARE(boxes[0]->windowTitle(), "Error");
            QCOMPARE(boxes[0]->icon(), QMessageBox::Critical);
            QCOMPARE(boxes[0]->text(), "File not found or the URL don't point on a file !");
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(dialog(), 10000);
            if (way == "frame")
                dialog()->close();
            else
                QTest::mouseClick(dialog()->Cmd_Annuler, Qt::LeftButton);
        }
        QTRY_VERIFY(!dialog());
        QVERIFY(m_w->isEnabled() && m_w->engine().windowEnabled());
        QVERIFY(m_w->Txt_Url->isEnabled() && m_w->Cmd_add->isEnabled());
        QCOMPARE(m_w->Lbl_Status_H->text(), "Nothing to do");
        QCOMPARE(m_w->Txt_Url->text(), stripped());
        // Nothing is armed, so nothing arrives later either.
        QVERIFY(!m_w->engine().Timer_Valide->isActive());
        QVERIFY(!QFileInfo::exists(projects() + "f"));
        QVERIFY(!QFileInfo::exists(projects() + "main.zov"));
        QCOMPARE(m_w->Lst_Main->topLevelItemCount(), 0);
        QVERIFY(m_w->engine().store().Lst_Projects.isEmpty());
        if (way == "html")
            return;

        // The kept address probes again as it is.
        QTest::keyClick(m_w->Txt_Url, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(dialog(), 10000);
        QCOMPARE(dialog()->Txt_Url->text(), stripped());
        QCOMPARE(m_server->requests().size(), 2);
        QCOMPARE(m_server->requests().last().target, "/d/f.zip");
    }

    // "Edit..." goes through the options dialog and back; the project is stored
    // with what was chosen there. A server that answers the range request with
    // the whole file gets one pack of the file's size, whatever the settings say.
    void editedOptionsAreStored_data()
    {
        QTest::addColumn<bool>("ranges");
        QTest::addColumn<QString>("packShown");
        QTest::addColumn<QByteArray>("packStored");
        QTest::newRow("byte ranges") << true << "1.00 Mb" << QByteArray("1024000");
        QTest::newRow("no byte ranges") << false << "1.02 Mb" << QByteArray("1048576");
    }

    void editedOptionsAreStored()
    {
        QFETCH(bool, ranges);
        QFETCH(QString, packShown);
        QFETCH(QByteArray, packStored);
        if (!ranges)
            m_reply = TestHttpServer::head(200, "OK", {"Content-Type: application/zip", "Content-Length: 1048576"});
        typeAndEnter(address());
        QTRY_VERIFY_WITH_TIMEOUT(dialog(), 10000);
        Form2 *d = dialog();
        QCOMPARE(d->Txt_Pack_size_ok->text(), ranges ? "2048000" : "1048576");
        QCOMPARE(Settings::read("packsize", {}), "2048000");
        QTest::mouseClick(d->Cmd_Edit, Qt::LeftButton);
        QTRY_VERIFY(!shown<Form3>().isEmpty());
        QVERIFY(!d->isVisible() && !m_w->isEnabled());

        Form3 *o = shown<Form3>().first();
        const QString otherDest = m_dir->path() + "/elsewhere/";
        o->findChild<QLineEdit *>("Txt_Download_Path")->clear();
        QTest::keyClicks(o->findChild<QLineEdit *>("Txt_Download_Path"), otherDest);
        QTest::mouseClick(o->findChild<QRadioButton *>("Opt_Pack_1mb"), Qt::LeftButton);
        QTest::mouseClick(o->findChild<QCheckBox *>("Chk_Show_Modem"), Qt::LeftButton);
        QTest::mouseClick(o->findChild<QPushButton *>("Cmd_OK"), Qt::LeftButton);

        QTRY_VERIFY(dialog() == d);
        QVERIFY(shown<Form3>().isEmpty() && !m_w->isEnabled());
        QCOMPARE(Settings::read("packsize", {}), "1024000");
        QVERIFY(!d->Chk_modem->isChecked());
        // Refreshed from the options; what the probe found stays.
        QCOMPARE(QStringList({d->Txt_Pack->text(), d->Txt_Pack_size_ok->text(), d->Txt_dest->text(),
                              d->Txt_dest->toolTip(), d->Txt_Project_Name->text(), d->Txt_File_size_ok->text()}),
                 QStringList({packShown, packStored, otherDest, otherDest, "f", "1048576"}));

        download(d);
        QCOMPARE(TextFile::read(projects() + "f/project.zov"), projectFile(stripped(), otherDest, packStored, "0"));
    }
};

QTEST_MAIN(TestNewProject)
#include "test_new_project.moc"
