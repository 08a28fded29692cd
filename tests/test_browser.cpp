// The browser extension end to end: browser/ loaded into a headless Chromium
// with a private profile whose host manifest names the host built here, driven
// over the DevTools protocol, handing links and caught downloads through the
// host to this process's window, against the in-test server's site that wants
// a session cookie.
#include "gui/form1.h"
#include "core/settings.h"
#include "core/text_file.h"
#include "engine/download_manager.h"
#include "projects/request_headers.h"
#include "support/stop_process.h"
#include "support/test_files.h"
#include "support/test_home.h"
#include "support/test_http_server.h"
#include "support/window_start.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWebSockets>
#include <QtWidgets>

namespace {
// Runs a program to its end; what it wrote to its standard output.
QByteArray output(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(10000) ? p.readAllStandardOutput() : QByteArray();
}
} // namespace

class TestBrowser : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        useOwnHome(m_dir.path());
    }

    // A link behind a log-in, from the menu handler: catches an extension that
    // does not load, a host manifest Chromium rejects, a session (cookie,
    // referrer, user agent) that stays in the browser or does not reach the
    // probe and every slot request, and a cookie written anywhere but the
    // project's headers.zov. Then catching: a download the program cannot
    // take (its probe gets 403 without the cookie) must stay in the browser
    // and complete there, not be cancelled on a mere delivery; one the
    // program took and probed must leave the browser's list and open the
    // program's dialog.
    void chromiumHandsOverWithTheSession()
    {
        const QString chromium = QStandardPaths::findExecutable("chromium");
        if (chromium.isEmpty())
            QSKIP("chromium is not installed (scripts/install-deps.sh installs it)");
        Form1 w({});
        QVERIFY(startUp(w));

        // The extension as a user who switched on passing the session has it:
        // headless Chromium cannot answer the permission prompt, so the
        // optional permissions are asked for up front.
        const QString extension = m_dir.path() + "/extension", source = ZK_TEST_SOURCE_DIR "/../browser";
        QVERIFY(QDir().mkpath(extension));
        for (const QString &file : QDir(source).entryList(QDir::Files))
            QVERIFY(QFile::copy(source + "/" + file, extension + "/" + file));
        QJsonObject manifest = QJsonDocument::fromJson(TextFile::read(extension + "/manifest.json")).object();
        QJsonArray permissions = manifest["permissions"].toArray();
        for (const QJsonValue &p : manifest.take("optional_permissions").toArray())
            permissions.append(p);
        manifest["permissions"] = permissions;
        manifest["host_permissions"] = manifest.take("optional_host_permissions");
        QFile::remove(extension + "/manifest.json");
        QVERIFY(TextFile::write(extension + "/manifest.json", QJsonDocument(manifest).toJson()));
        // A profile whose host folder names the host built here. The
        // browser's downloads land in the (test's) home folder's Downloads.
        const QString profile = m_dir.path() + "/chromium", host = ZK_BINARY_DIR "/zov-kestra-native-host";
        const QString downloads = m_dir.path() + "/Downloads";
        QVERIFY(QDir().mkpath(profile + "/NativeMessagingHosts")
                && TextFile::write(profile + "/NativeMessagingHosts/org.zovkestra.download.json",
                                   output(host, {"--manifest", "chromium", host})));
        QProcess browser;
        browser.setProcessChannelMode(QProcess::MergedChannels);
        browser.start(chromium, {"--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                                 "--user-data-dir=" + profile, "--remote-debugging-address=127.0.0.1",
                                 "--remote-debugging-port=0", "--load-extension=" + extension,
                                 "--disable-extensions-except=" + extension, "about:blank"});
        if (!browser.waitForStarted(10000))
            QSKIP("chromium cannot start here");
        const auto stopBrowser = qScopeGuard([&browser] { stopProcess(&browser, 10000); });
        // The extension's service worker, found through the DevTools endpoint.
        QNetworkAccessManager http;
        QString worker;
        (void)QTest::qWaitFor([&] {
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
        if (worker.isEmpty() && browser.state() != QProcess::Running)
            QSKIP(qPrintable("chromium cannot start here: " + browser.readAll().right(300)));
        QVERIFY2(!worker.isEmpty(), qPrintable("the extension's service worker did not appear: " + browser.readAll().right(500)));
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
            const QJsonObject params{{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}};
            const QJsonObject call{{"id", ++id}, {"method", "Runtime.evaluate"}, {"params", params}};
            devtools.sendTextMessage(QString::fromUtf8(QJsonDocument(call).toJson(QJsonDocument::Compact)));
            const int mine = id;
            return QTest::qWaitFor([&] { return answers.contains(mine); }, 20000) ? answers.value(mine)["value"] : QJsonValue();
        };
        devtools.open(QUrl(worker));
        QVERIFY(opened.wait(10000));
        // A worker the debugger attached to may wait for it before it runs;
        // the handler is there once its script has run.
        devtools.sendTextMessage(R"({"id":1000,"method":"Runtime.runIfWaitingForDebugger"})");
        QVERIFY(QTest::qWaitFor([&] { return evaluate("typeof handleMenuClick") == "function"; }, 20000));

        // The site: a log-in page that sets the session cookie, a file only
        // this browser's session may fetch, and a larger one that goes out
        // slowly enough for the extension to catch its download.
        const QString userAgent = evaluate("navigator.userAgent").toString();
        QVERIFY(userAgent.contains("Chrome"));
        TestHttpServer site;
        QVERIFY(site.start());
        const QString login = site.baseUrl() + "/login";
        const QByteArray small = TestFiles::randomBytes(300000, 1), big = TestFiles::randomBytes(1536 * 1024, 2);
        TestHttpServer::Route page, member, paced;
        page.file = "<p>Welcome</p>";
        page.headers = {"Content-Type: text/html", "Set-Cookie: session=s3cr3t; Path=/"};
        page.contentType = false;
        member.file = small;
        member.needs = {"Cookie: session=s3cr3t", "Referer: " + login.toUtf8(), "User-Agent: " + userAgent.toUtf8()};
        paced.file = big;
        paced.needs = {"Cookie: session=s3cr3t"};
        paced.faults.bodyPiece = 65536;
        paced.faults.pieceDelay = 40;
        site.serveSite({{"/login", page}, {"/members/a.bin", member}, {"/members/big.bin", paced}});
        const QString cookieCount = "chrome.cookies.getAll({url: '" + site.baseUrl() + "/members/'}).then(c => c.length)";
        QCOMPARE(evaluate("chrome.tabs.create({url: '" + login + "'}).then(t => !!t.id)"), true);
        QVERIFY(QTest::qWaitFor([&] { return evaluate(cookieCount) == 1; }, 10000));

        QCOMPARE(evaluate("chrome.storage.local.set({sendSession: true}).then(() => true)"), true);
        const QJsonValue reply = evaluate("handleMenuClick({linkUrl: '" + site.baseUrl() + "/members/a.bin', pageUrl: '" + login + "'})");
        QVERIFY2(reply["ok"].toBool(), QJsonDocument(reply.toObject()).toJson().constData());
        QTRY_VERIFY_WITH_TIMEOUT(w.newProjectDialog() && w.newProjectDialog()->isVisible(), 10000);
        w.newProjectDialog()->findChild<QPushButton *>("Cmd_Downloader")->click();
        const ProjectStore &store = w.engine().store();
        QTRY_COMPARE_WITH_TIMEOUT(store.finished().size(), 1, 30000);
        QCOMPARE(TextFile::read(m_dir.path() + "/in/a.bin"), small);
        QVERIFY(RequestHeaders::read(store.projectDir(store.finished().first().name)).lines().contains({"Cookie", "session=s3cr3t"}));
        for (QDirIterator it(m_dir.path() + "/home", QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
            const QString file = it.next();
            QVERIFY2(file.endsWith("/headers.zov") || !TextFile::read(file).contains("s3cr3t"), qPrintable(file));
        }

        // Catching, without the session: the program's probe gets 403.
        QSignalSpy handedOver(&w.listener(), &UrlListener::addressReceived);
        const QString states = "chrome.downloads.search({}).then(d => d.map(i => i.state).join())";
        QCOMPARE(evaluate("chrome.storage.local.set({sendSession: false, offerDownloads: true}).then(() => true)"), true);
        QCOMPARE(evaluate("chrome.tabs.create({url: '" + site.baseUrl() + "/members/big.bin'}).then(t => !!t.id)"), true);
        QVERIFY(QTest::qWaitFor([&] { return evaluate(states) == "complete"; }, 20000));
        QCOMPARE(TextFile::read(downloads + "/big.bin"), big);
        QCOMPARE(handedOver.size(), 1);
        QVERIFY(handedOver.first().first().value<HandedOver>().ticket != 0);
        QVERIFY(!w.newProjectDialog() || !w.newProjectDialog()->isVisible());

        // With the session the program takes it: the browser lets it go.
        QCOMPARE(evaluate("chrome.storage.local.set({sendSession: true}).then(() => true)"), true);
        QCOMPARE(evaluate("chrome.tabs.create({url: '" + site.baseUrl() + "/members/big.bin'}).then(t => !!t.id)"), true);
        QTRY_VERIFY_WITH_TIMEOUT(w.newProjectDialog() && w.newProjectDialog()->isVisible(), 20000);
        QCOMPARE(w.newProjectDialog()->findChild<QLineEdit *>("Txt_Url")->text().section('/', -1), "big.bin");
        QVERIFY(QTest::qWaitFor([&] { return evaluate(states) == "complete"; }, 10000));
        devtools.close();
    }
};

QTEST_MAIN(TestBrowser)
#include "test_browser.moc"
