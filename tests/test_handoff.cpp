// Addresses handed to the running window over the loopback listener (UrlPass,
// raw clients, the browser extension's native host, the extension itself in a
// headless Chromium), and the two session options that name the program's own
// files: the browser script and the autostart entry.
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
#include <QtWebSockets>
#include <QtWidgets>

namespace {
QByteArray framed(const QByteArray &body, quint32 length)
{
    return QByteArray(reinterpret_cast<const char *>(&length), 4) + body;
}
QByteArray framed(const QByteArray &body)
{
    return framed(body, quint32(body.size()));
}

bool startUp(Form1 &w)
{
    QSignalSpy ready(&w, &Form1::startupFinished);
    w.show();
    return ready.wait(5000);
}
} // namespace

class TestHandOff : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    NginxServer m_nginx;   // serves a.bin and b.bin

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
        QVERIFY(QDir().mkpath(m_dir.path() + "/www"));
        for (const char *name : {"a.bin", "b.bin"})
            QVERIFY(TextFile::write(m_dir.path() + "/www/" + name, QByteArray(70000, 'x')));
        QVERIFY2(m_nginx.start(m_dir.path() + "/www"), qPrintable(m_nginx.lastError()));
    }

    void cleanupTestCase()
    {
        m_nginx.stop();
    }

    // Catches a listener that is not open, that stays stuck on a silent
    // client, that takes data without the prefix for an address, that loses an
    // address arriving while the new-project dialog is open; a taken port that
    // is not told; and a UrlPass that says "delivered" with nothing listening.
    void addressesReachTheWindow()
    {
        const NginxServer &nginx = m_nginx;
        Form1 w({});
        QVERIFY(startUp(w));
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
    }

    // Catches a script that differs by one byte from what the browser runs, a
    // menu key with the wrong value, a box whose click writes while start-up
    // restores it, and an autostart entry toggled by the box rather than by
    // what exists.
    void browserScriptAndAutostart()
    {
        Form1 w({});
        QVERIFY(startUp(w));
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
            QVERIFY(startUp(restored) && restored.ChK_Startwindows->isChecked());
            QVERIFY(!Autostart::read().isEmpty());
        }
        QFile::remove(Autostart::entryPath());
        w.ChK_Startwindows->click();   // ticked before: writes, as nothing exists
        QVERIFY(!Autostart::read().isEmpty() && w.ChK_Startwindows->isChecked());
        w.ChK_Startwindows->click();
        QVERIFY(!QFile::exists(Autostart::entryPath()));
    }

    // Catches a host that waits for more than a message before it answers
    // (the browser keeps the pipe open), that crashes or goes out of step on
    // odd framing (empty,
    // one byte, the 64 KiB limit and one byte over it, two messages in one
    // read, a length longer than what follows), answers without the length
    // prefix, or hands over a body that is not JSON or a scheme other than
    // http, https and ftp.
    void hostFraming()
    {
        const QByteArray limit = "{\"url\":\"http://h/" + QByteArray(65536 - 19, 'a') + "\"}";
        QCOMPARE(limit.size(), 65536);
        const QByteArray over = "{\"url\":\"http://h/" + QByteArray(65537 - 19, 'a') + "\"}";
        const QByteArray input = framed("") + framed("x") + framed(limit) + framed(over)
                                 + framed("{\"url\":\"ftp://h/f\"}") + framed("{\"url\":\"https://h/g\"}")
                                 + framed("not json") + framed("{\"url\":\"file:///etc/passwd\"}")
                                 + framed("{\"url\"", 100);
        QTcpServer listener;   // stands in for the program's listener
        QVERIFY(listener.listen(QHostAddress::LocalHost, m_port));
        QList<QByteArray> received;
        connect(&listener, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *s = listener.nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, this, [&received, s] {
                received << s->readAll();
                s->disconnectFromHost();
            });
        });
        QProcess host;
        host.start(QStringLiteral(ZK_BINARY_DIR "/zov-kestra-native-host"), {"chrome-extension://x/"});
        QVERIFY(host.waitForStarted());
        // The first answer comes while the browser keeps the pipe open.
        const QByteArray first = framed("{\"url\":\"javascript:alert(1)\"}");
        host.write(first);
        QVERIFY(QTest::qWaitFor([&] { return host.bytesAvailable() > 4; }, 10000));
        host.write(input);
        host.closeWriteChannel();
        QVERIFY(QTest::qWaitFor([&] { return host.state() == QProcess::NotRunning; }, 20000));
        QCOMPARE(host.exitStatus(), QProcess::NormalExit);
        QCOMPARE(host.exitCode(), 1);   // the input ended inside the last message
        QByteArray out = host.readAllStandardOutput();
        QStringList answers;
        while (out.size() >= 4) {
            quint32 n = 0;
            memcpy(&n, out.constData(), 4);
            const QJsonObject o = QJsonDocument::fromJson(out.mid(4, n)).object();
            answers << (o.value("ok").toBool() ? QString("ok") : o.value("error").toString().section(' ', 0, 1));
            out.remove(0, 4 + n);
        }
        QCOMPARE(answers, (QStringList{"only http://,", "expected {\"url\":", "expected {\"url\":", "ok", "message over", "ok", "ok",
                                       "expected {\"url\":", "only http://,", "message cut"}));
        QTRY_COMPARE(received, (QList<QByteArray>{"--RVQ--" + limit.mid(8, limit.size() - 10), "--RVQ--ftp://h/f",
                                                    "--RVQ--https://h/g"}));
    }

    // Catches an extension that does not load in Chromium, a menu handler that
    // does not reach the host, a host manifest Chromium rejects (name, origin),
    // and an address that does not reach the window's probe.
    void chromiumHandsALinkOver()
    {
        const QString chromium = QStandardPaths::findExecutable("chromium");
        if (chromium.isEmpty())
            QSKIP("chromium is not installed: the end-to-end browser case cannot run");
        Form1 w({});
        QVERIFY(startUp(w));

        // A profile whose host folder names the host built here.
        const QString profile = m_dir.path() + "/chromium";
        QVERIFY(QDir().mkpath(profile + "/NativeMessagingHosts"));
        QProcess manifest;
        manifest.start(QStringLiteral(ZK_BINARY_DIR "/zov-kestra-native-host"),
                       {"--manifest", "chromium", ZK_BINARY_DIR "/zov-kestra-native-host"});
        QVERIFY(manifest.waitForFinished(10000));
        QVERIFY(TextFile::write(profile + "/NativeMessagingHosts/org.zovkestra.download.json", manifest.readAllStandardOutput()));
        const QString extension = QStringLiteral(ZK_TEST_SOURCE_DIR "/../browser");
        QProcess browser;
        browser.setProcessChannelMode(QProcess::MergedChannels);
        browser.start(chromium, {"--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                                 "--user-data-dir=" + profile, "--remote-debugging-address=127.0.0.1",
                                 "--remote-debugging-port=0", "--load-extension=" + extension,
                                 "--disable-extensions-except=" + extension, "about:blank"});
        if (!browser.waitForStarted(10000))
            QSKIP("chromium cannot start here");
        const auto stopBrowser = qScopeGuard([&browser] {
            browser.terminate();
            if (!browser.waitForFinished(10000))
                browser.kill();
            browser.waitForFinished();
        });
        // The extension's service worker, found through the DevTools endpoint.
        QNetworkAccessManager http;
        QString worker;
        const bool found = QTest::qWaitFor([&] {
            const QByteArray port = TextFile::read(profile + "/DevToolsActivePort").split('\n').value(0);
            if (port.isEmpty() || browser.state() != QProcess::Running)
                return browser.state() != QProcess::Running;
            QNetworkReply *reply = http.get(QNetworkRequest(QUrl("http://127.0.0.1:" + port + "/json/list")));
            if (!QTest::qWaitFor([reply] { return reply->isFinished(); }, 5000))
                return false;
            for (const QJsonValue &t : QJsonDocument::fromJson(reply->readAll()).array())
                if (t["url"].toString() == "chrome-extension://dedfkihbmbcpkmlljmkhaebfgpeimibp/background.js")
                    worker = t["webSocketDebuggerUrl"].toString();
            reply->deleteLater();
            return !worker.isEmpty();
        }, 30000);
        if (!found || worker.isEmpty()) {
            if (browser.state() != QProcess::Running)
                QSKIP(qPrintable("chromium cannot start here: " + browser.readAll().right(300)));
            QFAIL(qPrintable("the extension's service worker did not appear: " + browser.readAll().right(500)));
        }
        QWebSocket devtools;
        QSignalSpy opened(&devtools, &QWebSocket::connected);
        QHash<int, QJsonObject> answers;
        connect(&devtools, &QWebSocket::textMessageReceived, this, [&answers](const QString &text) {
            const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
            if (o.contains("id"))
                answers.insert(o["id"].toInt(), o["result"].toObject()["result"].toObject());
        });
        int id = 0;
        const auto evaluate = [&](const QString &expression) {
            const QJsonObject call{{"id", ++id},
                                   {"method", "Runtime.evaluate"},
                                   {"params", QJsonObject{{"expression", expression},
                                                          {"awaitPromise", true},
                                                          {"returnByValue", true}}}};
            devtools.sendTextMessage(QString::fromUtf8(QJsonDocument(call).toJson(QJsonDocument::Compact)));
            const int mine = id;
            return QTest::qWaitFor([&] { return answers.contains(mine); }, 20000) ? answers.value(mine)["value"]
                                                                                   : QJsonValue();
        };
        devtools.open(QUrl(worker));
        QVERIFY(opened.wait(10000));
        // A worker the debugger attached to may wait for it before it runs;
        // the handler is there once its script has run.
        devtools.sendTextMessage(R"({"id":1000,"method":"Runtime.runIfWaitingForDebugger"})");
        QVERIFY(QTest::qWaitFor([&] { return evaluate("typeof handleMenuClick") == "function"; }, 20000));
        const QString link = m_nginx.baseUrl() + "/a.bin";
        const QJsonValue reply = evaluate("handleMenuClick({linkUrl: '" + link + "'})");
        QVERIFY2(reply["ok"].toBool(), QJsonDocument(reply.toObject()).toJson().constData());
        QTRY_VERIFY_WITH_TIMEOUT(w.newProjectDialog() && w.newProjectDialog()->isVisible(), 10000);
        QCOMPARE(w.Txt_Url->text().section("://", -1), link.section("://", -1));
        devtools.close();
    }
};

QTEST_MAIN(TestHandOff)
#include "test_handoff.moc"
