// Addresses handed to the running window over the loopback listener (UrlPass,
// raw clients), and the two session options that name the program's own files:
// the browser script and the autostart entry.
#include "app/browser_menu.h"
#include "app/ui/form1.h"
#include "app/url_listener.h"
#include "core/autostart.h"
#include "core/settings.h"
#include "core/text_file.h"
#include "engine/url_probe.h"
#include "support/nginx_server.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

class TestHandOff : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    quint16 m_port = 0;

    // Runs UrlPass without blocking the window's event loop.
    int urlPass(const QStringList &args, QByteArray *said = nullptr)
    {
        QProcess p;
        p.start(QStringLiteral(ZK_BINARY_DIR "/UrlPass"), args);
        if (!QTest::qWaitFor([&p] { return p.state() == QProcess::NotRunning; }, 15000))
            return -1;
        if (said)
            *said = p.readAllStandardError();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

private slots:
    void initTestCase()
    {
        qputenv("ZOV_KESTRA_HOME", (m_dir.path() + "/home").toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_dir.path() + "/config").toUtf8());
        Settings::setApplicationName("zov-kestra-download");
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        m_port = probe.serverPort();
        probe.close();
        for (auto [key, value] : {std::pair{"FilePath", m_dir.path() + "/in/"}, {"packsize", "512000"},
                                  {"modemspeed", "56"}, {"Tray", "0"}, {"ListenPort", QString::number(m_port)}})
            Settings::write(key, value);
    }

    // Catches a listener that is not open, that stays stuck on a silent
    // client, that takes data without the prefix for an address, that loses an
    // address arriving while the new-project dialog is open; a taken port that
    // is not told; and a UrlPass that says "delivered" with nothing listening.
    void addressesReachTheWindow()
    {
        QVERIFY(QDir().mkpath(m_dir.path() + "/www"));
        for (const char *name : {"a.bin", "b.bin"})
            QVERIFY(TextFile::write(m_dir.path() + "/www/" + name, QByteArray(70000, 'x')));
        NginxServer nginx;
        QVERIFY2(nginx.start(m_dir.path() + "/www"), qPrintable(nginx.lastError()));
        Form1 w({});
        QSignalSpy ready(&w, &Form1::startupFinished);
        w.show();
        QVERIFY(ready.wait(5000));
        QVERIFY(w.listener().isListening() && w.listener().port() == m_port);
        w.listener().setSilenceTimeout(300);
        {
            Form1 second({});
            QVERIFY(second.Lbl_Status_H->text().contains(QString::number(m_port)));
        }

        QTcpSocket silent;
        silent.connectToHost(QHostAddress::LocalHost, m_port);
        QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 5000);
        QTcpSocket plain;
        plain.connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(QTest::qWaitFor([&] { return plain.state() == QAbstractSocket::ConnectedState; }, 5000));
        plain.write(nginx.baseUrl().toUtf8() + "/a.bin");
        QTRY_COMPARE_WITH_TIMEOUT(plain.state(), QAbstractSocket::UnconnectedState, 5000);
        QTRY_VERIFY(w.listener().isListening());
        QVERIFY(w.Menu->currentIndex() == 1 && w.Txt_Url->text() == "http://www." && !w.urlProbe()->isRunning());

        QCOMPARE(urlPass({nginx.baseUrl() + "/a.bin"}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(w.newProjectDialog() && w.newProjectDialog()->isVisible(), 10000);
        QVERIFY(w.Txt_Url->text().endsWith("/a.bin"));
        // The dialog holds the window: the next address waits for it.
        QCOMPARE(urlPass({nginx.baseUrl() + "/b.bin"}), 0);
        QVERIFY(w.Txt_Url->text().endsWith("/a.bin") && !w.urlProbe()->isRunning());
        w.newProjectDialog()->findChild<QPushButton *>("Cmd_Annuler")->click();
        QTRY_VERIFY_WITH_TIMEOUT(w.Txt_Url->text().endsWith("/b.bin") && w.newProjectDialog()
                                     && w.newProjectDialog()->isVisible(), 10000);

        w.listener().close();
        QByteArray said;
        QCOMPARE(urlPass({nginx.baseUrl() + "/a.bin"}, &said), 1);
        QVERIFY2(said.count('\n') == 1 && said.contains(QByteArray::number(m_port)), said.constData());
        nginx.stop();
    }

    // Catches a script that differs by one byte from what the browser runs, a
    // menu key with the wrong value, a box whose click writes while start-up
    // restores it, and an autostart entry toggled by the box rather than by
    // what exists.
    void browserScriptAndAutostart()
    {
        Form1 w({});
        QSignalSpy ready(&w, &Form1::startupFinished);
        w.show();
        QVERIFY(ready.wait(5000));
        QVERIFY(!w.ChK_IEMenu->isChecked() && !QFile::exists(BrowserMenu::scriptPath()));
        w.ChK_IEMenu->click();
        const QString dir = QCoreApplication::applicationDirPath();
        const QByteArray expected =
            "<SCRIPT TYPE=\"text/javascript\" LANGUAGE=\"JavaScript1.2\">\r\n\r\nvar VarFinalURL = \"\";\r\n\r\n"
            "var varDoc = external.menuArguments.document;\r\nvar varEvent = external.menuArguments.event;\r\n\r\n"
            "var varElementFromPoint = varDoc.elementFromPoint(varEvent.clientX, varEvent.clientY);\r\n"
            "var varAnchor = varElementFromPoint;\r\n\r\n"
            "while(varAnchor.tagName!=\"HTML\" && varAnchor.tagName!=\"A\" && varAnchor.tagName!=\"AREA\")\r\n{\r\n"
            "varAnchor=varAnchor.parentElement;\r\n}\r\n"
            "if(varEvent.type==\"MenuExtUnknown\" || varEvent.type==\"MenuExtImage\" || varEvent.type==\"MenuExtAnchor\")\r\n{\r\n"
            "if(varAnchor.tagName==\"A\" || varAnchor.tagName==\"AREA\") {VarFinalURL = varAnchor.href;}\r\n"
            "if(varElementFromPoint.tagName==\"IMG\" && varAnchor.tagName==\"HTML\") {VarFinalURL = varElementFromPoint.src;}\r\n"
            "}\r\nif(VarFinalURL!=\"\")\r\n{\r\nvar Wshell = new ActiveXObject (\"WScript.Shell\");\r\n"
            "Wshell.run(\"" + dir.toUtf8() + "/UrlPass\" + ' ' + VarFinalURL);\r\n}\r\n</SCRIPT>";
        QCOMPARE(TextFile::read(BrowserMenu::scriptPath()), expected);
        QSettings s(Settings::filePath(), QSettings::IniFormat);
        QCOMPARE(s.value("MenuExt/&Download with ZOV Kestra Download.../Default").toString(),
                 "file://" + dir + "/IEDownloadScript.zov");
        QCOMPARE(s.value("MenuExt/&Download with ZOV Kestra Download.../Contexts").toInt(), 34);
        w.ChK_IEMenu->click();
        s.sync();
        QVERIFY(!QFile::exists(BrowserMenu::scriptPath()) && !s.contains("MenuExt/&Download with ZOV Kestra Download.../Default"));

        QVERIFY(Autostart::read().isEmpty());
        w.ChK_Startwindows->click();
        QCOMPARE(Autostart::read(), dir + "/zov-kestra-download -Startwin-");
        {
            Form1 restored({});
            QSignalSpy done(&restored, &Form1::startupFinished);
            restored.show();
            QVERIFY(done.wait(5000) && restored.ChK_Startwindows->isChecked());
            QVERIFY(!Autostart::read().isEmpty());
        }
        QFile::remove(Autostart::entryPath());
        w.ChK_Startwindows->click();   // ticked before: writes, as nothing exists
        QVERIFY(!Autostart::read().isEmpty() && w.ChK_Startwindows->isChecked());
        w.ChK_Startwindows->click();
        QVERIFY(!QFile::exists(Autostart::entryPath()));
    }
};

QTEST_MAIN(TestHandOff)
#include "test_handoff.moc"
