// The browser hand-off: the native messaging host's framing against a test
// listener, and the extension in a real headless Chromium handing a link to the
// running window.
#include "app/ui/form1.h"
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
} // namespace

class TestBrowser : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QTcpServer m_listener;   // stands in for the program's listener
    QList<QByteArray> m_received;

private slots:
    void initTestCase()
    {
        qputenv("ZOV_KESTRA_HOME", (m_dir.path() + "/home").toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_dir.path() + "/config").toUtf8());
        Settings::setApplicationName("zov-kestra-download");
        QVERIFY(m_listener.listen(QHostAddress::LocalHost, 0));
        connect(&m_listener, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *s = m_listener.nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, this, [this, s] {
                m_received << s->readAll();
                s->disconnectFromHost();
            });
        });
        for (auto [key, value] : {std::pair{"FilePath", m_dir.path() + "/in/"}, {"packsize", "512000"},
                                  {"modemspeed", "56"}, {"Tray", "0"},
                                  {"ListenPort", QString::number(m_listener.serverPort())}})
            Settings::write(key, value);
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
        QTRY_COMPARE(m_received, (QList<QByteArray>{"--RVQ--" + limit.mid(8, limit.size() - 10), "--RVQ--ftp://h/f",
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
        m_listener.close();   // the window listens on the port now
        QVERIFY(QDir().mkpath(m_dir.path() + "/www"));
        QVERIFY(TextFile::write(m_dir.path() + "/www/a.bin", QByteArray(70000, 'x')));
        NginxServer nginx;
        QVERIFY2(nginx.start(m_dir.path() + "/www"), qPrintable(nginx.lastError()));
        Form1 w({});
        QSignalSpy ready(&w, &Form1::startupFinished);
        w.show();
        QVERIFY(ready.wait(5000));

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
        const QString link = nginx.baseUrl() + "/a.bin";
        const QJsonValue reply = evaluate("handleMenuClick({linkUrl: '" + link + "'})");
        QVERIFY2(reply["ok"].toBool(), QJsonDocument(reply.toObject()).toJson().constData());
        QTRY_VERIFY_WITH_TIMEOUT(w.newProjectDialog() && w.newProjectDialog()->isVisible(), 10000);
        QCOMPARE(w.Txt_Url->text().section("://", -1), link.section("://", -1));
        devtools.close();
        nginx.stop();
    }
};

QTEST_MAIN(TestBrowser)
#include "test_browser.moc"
