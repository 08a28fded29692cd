// A new project through the real windows: address typed, loopback probe, dialog confirmed, cancelled or edited; the store.
#include "gui/form1.h"
#include "core/settings.h"
#include "core/text_file.h"
#include "engine/download_manager.h"
#include "gui/form3.h"
#include "gui/form2.h"
#include "gui/login_dialog.h"
#include "options/option_values.h"
#include "support/nginx_server.h"
#include "support/test_home.h"
#include "support/test_http_server.h"
#include "support/window_start.h"

#include <QtTest>
#include <QtWidgets>

static const QString kServerZov = "ETag:\"v1\"\r\nLast-Modified:Sat, 05 Dec 2026\r\nRanges:1\r\n";

class TestNewProject : public QObject
{
    Q_OBJECT
    QTemporaryDir *m_dir = nullptr;
    TestHttpServer *m_server = nullptr;
    Form1 *m_w = nullptr;
    QByteArray m_reply; // what the server answers for /d/f.zip

    QString projects() const { return m_dir->path() + "/home/projects/"; }
    QString stored(const QString &name, const char *file) const { return TextFile::read(projects() + name + file); }

    // The project file of a new project with the default colours.
    QString projectFile(const QString &url, const QString &pack, const QString &bytes, const QString &modem = "1",
                        const QString &dest = {}, bool ftp = false) const
    {
        return "url:" + url + "\r\nbytes:" + bytes + "\r\npath:" + (dest.isEmpty() ? m_dir->path() + "/in/" : dest)
               + "\r\npacksize:" + pack + "\r\nshowmodem:" + modem + "\r\nbar1back:16777215\r\nbar1for:255\r\nbar2back:16777215"
               "\r\nbar2for:8421631\r\ngraphback:16777215\r\ngraphfor:8421631\r\ngraphmodem:0\r\nType:" + (ftp ? "1" : "0") + "\r\nstatus:1\r\n";
    }

    // Enter in the address box; the dialog the probe opens (null after a refusal).
    Form2 *probe(const QString &url)
    {
        m_w->Txt_Url->setText(url);
        QTest::keyClick(m_w->Txt_Url, Qt::Key_Return);
        if (m_w->Txt_Url->isEnabled() || m_w->Cmd_add->isEnabled()) // no second command while it runs
            return nullptr;
        return QTest::qWaitFor([] { return visibleWindow<Form2>() || visibleWindow<QMessageBox>() || visibleWindow<LoginDialog>(); }, 10000) ? visibleWindow<Form2>() : nullptr;
    }

    // The dialog closed by button, the window usable again, and (Download) the project stored.
    bool closedWith(QPushButton *button)
    {
        const bool storing = button->objectName() == "Cmd_Downloader";
        QTest::mouseClick(button, Qt::LeftButton);
        return QTest::qWaitFor([&] { return !visibleWindow<Form2>() && m_w->isEnabled() && m_w->Txt_Url->text().isEmpty() == storing; });
    }

private slots:
    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid() && QDir().mkpath(m_dir->path() + "/home"));
        useOwnHome(m_dir->path());
        Settings::write("packsize", "2048000");
        m_reply = TestHttpServer::head(206, "Partial Content", {"Content-Type: application/zip", "ETag: \"v1\"",
                                       "Content-Range: bytes 0-1048575/1048576", "Last-Modified: Sat, 05 Dec 2026"});
        m_server = new TestHttpServer;
        m_server->setHandler([this](const TestRequest &, TestConnection *c) { c->send(m_reply); });
        QVERIFY(m_server->start());
        m_w = new Form1({});
        QVERIFY(startUp(*m_w));
        m_w->engine().queue().hold(); // the projects stay as stored
    }

    void cleanup()
    {
        delete std::exchange(m_w, nullptr);
        for (QWidget *w : QApplication::topLevelWidgets()) // dialogs left open
            w->deleteLater();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        delete std::exchange(m_server, nullptr);
        delete std::exchange(m_dir, nullptr);
    }

    // Fault: what the probe found lost between dialog and store; validators not kept; the same file twice overwriting
    // the first project; a cancelled project stored anyway.
    void confirmedProjectIsStored_data()
    {
        QTest::addColumn<bool>("ftp");
        QTest::addColumn<QString>("fields"); // size, address, pack; the name is the file's
        QTest::addColumn<QString>("server");
        QTest::newRow("HTTP") << false << "1.02 Mb|@/d/f.zip|2.00 Mb" << kServerZov;
        QTest::newRow("FTP") << true << "4.00 Kb|@/pub/f.bin|2.00 Mb" << "Ranges:1\r\n";
    }

    void confirmedProjectIsStored()
    {
        QFETCH(bool, ftp);
        QFETCH(QString, fields);
        QFETCH(QString, server);
        TestHttpServer ftpServer;
        ftpServer.setConnectHandler([](TestConnection *c) { c->send("220 a\r\n331 b\r\n230 c\r\n200 d\r\n213 4096\r\n"); });
        QVERIFY(ftpServer.start());
        fields.replace(QLatin1Char('@'), ftp ? ftpServer.hostPort() : m_server->hostPort());
        const QString url = fields.section('|', 1, 1);
        QStringList names;
        for (int round = 0; round < 3; ++round) {
            Form2 *d = probe((ftp ? "ftp://" : "http://") + url);
            QVERIFY(d && !m_w->isEnabled() && !m_w->engine().queue().windowEnabled()); // the queue waits for the dialog
            QCOMPARE(QStringList({d->Txt_FileSize->text(), d->Txt_Url->text(), d->Txt_Pack->text()}).join('|'), fields);
            if (round == 2) { // cancelled: nothing more is stored
                QVERIFY(closedWith(d->Cmd_Annuler));
                break;
            }
            names << d->Txt_Project_Name->text();
            QVERIFY(closedWith(d->Cmd_Downloader));
            QCOMPARE(stored(names.last(), "/project.zov"), projectFile(url, "2048000", ftp ? "4096" : "1048576", "1", {}, ftp));
            QCOMPARE(stored(names.last(), "/server.zov"), server);
        }
        QVERIFY2(names[0] == "f" && QRegularExpression("^f_\\d+(\\.\\d+)?$").match(names[1]).hasMatch(), qPrintable(names[1]));
        QCOMPARE(stored("", "main.zov"), names.join("\r\n") + "\r\n");
        QStringList waiting;
        for (const ProjectEntry &e : m_w->engine().store().waiting())
            waiting << e.name;
        QCOMPARE(waiting, names);
    }

    // Fault: options chosen through "Edit..." not stored, or a server without ranges given packs of the settings' size.
    void editedOptionsAreStored_data()
    {
        QTest::addColumn<bool>("ranges");
        QTest::addColumn<QString>("pack");
        QTest::newRow("byte ranges") << true << "1024000";
        QTest::newRow("no byte ranges") << false << "1048576";
    }

    void editedOptionsAreStored()
    {
        QFETCH(bool, ranges);
        QFETCH(QString, pack);
        if (!ranges)
            m_reply = TestHttpServer::head(200, "OK", {"Content-Type: application/zip", "Content-Length: 1048576"});
        Form2 *d = probe(m_server->baseUrl() + "/d/f.zip");
        QVERIFY(d);
        QTest::mouseClick(d->Cmd_Edit, Qt::LeftButton);
        QTRY_VERIFY(visibleWindow<Form3>() && !d->isVisible());
        const QString otherDest = m_dir->path() + "/elsewhere/";
        visibleWindow<Form3>()->findChild<QLineEdit *>("Txt_Download_Path")->setText(otherDest);
        for (const char *control : {"Opt_Pack_1mb", "Chk_Show_Modem", "Cmd_OK"})
            QTest::mouseClick(visibleWindow<Form3>()->findChild<QAbstractButton *>(control), Qt::LeftButton);
        QTRY_VERIFY(visibleWindow<Form2>() == d && !visibleWindow<Form3>() && !m_w->isEnabled());
        QVERIFY(closedWith(d->Cmd_Downloader));
        QCOMPARE(stored("f", "/project.zov"), projectFile(m_server->hostPort() + "/d/f.zip", pack, "1048576", "0", otherDest));
        QCOMPARE(stored("f", "/server.zov"), ranges ? kServerZov : "Ranges:0\r\n");
    }

    // Fault: a refused connection, a host that does not exist or no answer at all told without its cause under the
    // message's first line.
    void refusalsNameTheirCause()
    {
        TestHttpServer silent;
        silent.setHandler([](const TestRequest &, TestConnection *c) { c->close(); });
        QVERIFY(silent.start());
        const QString connect = "An error occured while connecting to website !";
        for (const auto &[url, lines] : {std::pair{QString("http://127.0.0.1:1/f.zip"), QStringList{connect, "Connection refused: 127.0.0.1:1"}},
                                         {"nohost.invalid/f.zip", {connect, "Host not found: nohost.invalid"}},
                                         {silent.baseUrl() + "/f.zip", {"Unable to connect to website !", "The server did not answer."}}}) {
            QVERIFY(!probe(url));
            QMessageBox *box = visibleWindow<QMessageBox>();
            QVERIFY2(box && box->text().split("\r\n").mid(0, 2) == lines, qPrintable(box ? box->text() : url));
            box->close();
            QTRY_VERIFY(m_w->Txt_Url->isEnabled());
        }
    }

    // Faults: a 401 refused at once instead of asking, or asking without end; the typed password shown in the address
    // box or not kept (0600) beside the project; a 403 with no way to give the browser's cookies, or the cookies not
    // kept for the slots, nor for a login form served in the file's place; "start over" after the file changed
    // probing without the kept cookie or login (403, 401).
    void loginAndCookiesFromTheWindow()
    {
        TestHttpServer site;
        TestHttpServer::Route route;
        // Longer than the probe's answer, which slot 1 carries on: the
        // other slots' requests are what find the file changed.
        route.file = QByteArray(1500000, 'a');
        route.login = "ann:s3cret";
        route.needs = {"Cookie: session=abc"};
        TestHttpServer::Route page = route;   // a login form where the file should be
        page.login.clear();
        page.loginPage = true;
        site.serveSite({{"/members/f.bin", route}, {"/members/page.bin", page}});
        QVERIFY(site.start());
        const QString cookies = m_dir->path() + "/cookies.txt";
        QVERIFY(TextFile::write(cookies, "127.0.0.1\tFALSE\t/members\tFALSE\t0\tsession\tabc\n"));
        // What the window shows next: the new-project dialog, the login dialog's reason, a message's first line.
        const auto next = [] {
            (void)QTest::qWaitFor([] { return visibleWindow<Form2>() || visibleWindow<LoginDialog>() || visibleWindow<QMessageBox>(); }, 10000);
            if (QMessageBox *box = visibleWindow<QMessageBox>())
                return box->text().section("\r\n", 0, 0);
            return visibleWindow<LoginDialog>() ? "asked: " + visibleWindow<LoginDialog>()->findChild<QLabel *>("Lbl_Reason")->text()
                                        : QString(visibleWindow<Form2>() ? "new project" : "nothing");
        };
        // Answers the login dialog (no password: Cancel), which holds the window while it asks.
        const auto answer = [&](const char *password) {
            LoginDialog *d = visibleWindow<LoginDialog>();
            if (!d || m_w->isEnabled())
                return QString("not asked");
            d->Txt_User->setText("ann");
            d->Txt_Password->setText(password);
            QTest::mouseClick(password ? d->Cmd_OK : d->Cmd_Annuler, Qt::LeftButton);
            return next();
        };
        probe(site.baseUrl() + "/members/page.bin");
        QCOMPARE(next(), "File not found or the URL don't point on a file !");
        QVERIFY(visibleWindow<QMessageBox>()->findChild<QPushButton *>("Cmd_Cookies"));
        visibleWindow<QMessageBox>()->close();
        const QString url = site.baseUrl() + "/members/f.bin", refused = "The server refused the user name and password !";
        probe(url);
        QCOMPARE(answer(nullptr), "The server asks for a user name and password !");
        visibleWindow<QMessageBox>()->close();
        probe(url);
        for (const QString &reply : {"asked: " + refused, "asked: " + refused, refused}) // asked three times, then told
            QCOMPARE(answer("wrong"), reply);
        QVERIFY(!m_w->Txt_Url->text().contains("wrong"));
        visibleWindow<QMessageBox>()->close();
        probe(url);
        QCOMPARE(answer("s3cret"), "The server refused access to the file !");
        QPushButton *pick = visibleWindow<QMessageBox>()->findChild<QPushButton *>("Cmd_Cookies");
        QVERIFY(pick);
        pick->click();
        QFileDialog *files = nullptr;
        QTRY_VERIFY((files = m_w->findChild<QFileDialog *>("CookiesFile")));
        files->selectFile(cookies);
        static_cast<QDialog *>(files)->accept();
        QCOMPARE(next(), "new project");
        QVERIFY(!m_w->Txt_Url->text().contains("s3cret"));
        QVERIFY(closedWith(visibleWindow<Form2>()->Cmd_Downloader));
        QCOMPARE(stored("f", "/login.zov"), "Login:ann:s3cret\r\n");
        QCOMPARE(QFile::permissions(projects() + "f/login.zov") & 0x0077, 0);
        QCOMPARE(stored("f", "/headers.zov"), "Cookie: session=abc\r\n");
        // The file changes on the server before the download starts: the user starts it over.
        route.file = QByteArray(250000, 'b');
        site.serveSite({{"/members/f.bin", route}});
        m_w->engine().queue().release();
        QVERIFY(next().startsWith("The file on the server has changed"));
        visibleWindow<QMessageBox>()->button(QMessageBox::Yes)->click();
        QCOMPARE(next(), "new project");
        QSignalSpy finished(&m_w->engine(), &DownloadManager::projectFinished);
        QVERIFY(closedWith(visibleWindow<Form2>()->Cmd_Downloader));
        QVERIFY(finished.wait(10000));
        QCOMPARE(TextFile::read(finished.first().at(1).toString()), route.file);
    }

    // Fault: a link dropped on the address box written beside what it holds, one dropped on the window ignored, a
    // file of this machine taken for an address; a confirmed project left for the queue's ticks (2 s and more) when
    // nothing else downloads: the server's first request for the file comes within 100 ms of "Download".
    void droppedLinkStartsAtOnce()
    {
        QTemporaryDir www;
        NginxServer nginx;
        // Longer than the probe's answer, which slot 1 carries on: the other slots ask for the rest.
        QVERIFY(TextFile::write(www.path() + "/f.zip", QByteArray(3000000, 'z')) && nginx.start(www.path()));
        const auto drop = [](QWidget *target, const QList<QUrl> &urls) {
            QMimeData data; // as a browser gives a link: the address and its text
            data.setUrls(urls);
            data.setText(urls.first().toString());
            QDragEnterEvent enter(target->rect().center(), Qt::CopyAction, &data, Qt::LeftButton, {});
            QApplication::sendEvent(target, &enter);
            QDropEvent dropped(target->rect().center(), Qt::CopyAction, &data, Qt::LeftButton, {});
            QApplication::sendEvent(target, &dropped);
            return enter.isAccepted() && dropped.isAccepted();
        };
        QVERIFY(!drop(m_w, {QUrl::fromLocalFile(m_dir->path() + "/f.zip")}) && m_w->Txt_Url->isEnabled());
        QVERIFY(drop(m_w->Txt_Url, {QUrl(nginx.baseUrl() + "/f.zip")}));
        QTRY_VERIFY(visibleWindow<Form2>());
        QCOMPARE(visibleWindow<Form2>()->Txt_Url->text(), nginx.hostPort() + "/f.zip");
        QVERIFY(closedWith(visibleWindow<Form2>()->Cmd_Annuler));
        QVERIFY(drop(m_w, {QUrl(nginx.baseUrl() + "/f.zip")}));
        QTRY_VERIFY(visibleWindow<Form2>());
        OptionValues::save(OptionValues::load()); // options saved once, as the options dialog does
        m_w->engine().queue().release();
        const qint64 pressed = QDateTime::currentMSecsSinceEpoch();
        QVERIFY(closedWith(visibleWindow<Form2>()->Cmd_Downloader));
        QSignalSpy finished(&m_w->engine(), &DownloadManager::projectFinished);
        QVERIFY(finished.wait(10000));
        qint64 firstAsked = -1;   // the download's first request of its own
        for (const NginxServer::LogRecord &r : nginx.accessLog()) {
            if (r.startMs >= pressed && (firstAsked < 0 || r.startMs < firstAsked))
                firstAsked = r.startMs;
        }
        QVERIFY2(firstAsked >= 0 && firstAsked - pressed < 100, qPrintable(QString::number(firstAsked - pressed)));
    }
};

QTEST_MAIN(TestNewProject)
#include "test_new_project.moc"
