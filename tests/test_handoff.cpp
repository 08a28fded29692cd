// Addresses handed to the running window over the user's own hand-off socket (UrlPass, raw clients, the browser
// extension's native host, another user's UrlPass), its dialogs under a real X server and window manager, and the
// session options that name the program's own files: the browser hosts and the autostart entry.
#include "app/native_host.h"
#include "gui/form1.h"
#include "app/url_listener.h"
#include "core/autostart.h"
#include "core/settings.h"
#include "core/text_file.h"
#include "core/url_hand_off.h"
#include "engine/download_manager.h"
#include "engine/url_probe.h"
#include "support/nginx_server.h"
#include "support/stop_process.h"
#include "support/test_home.h"
#include "support/window_start.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

#include <unistd.h>

namespace {
// A native message: its length (the body's unless given) in the machine's order, then the body.
QByteArray framed(const QByteArray &body, qint64 length = -1)
{
    const quint32 n = length < 0 ? quint32(body.size()) : quint32(length);
    return QByteArray(reinterpret_cast<const char *>(&n), 4) + body;
}

// Listening TCP sockets this process holds, from /proc.
int listeningTcpSockets()
{
    QSet<QByteArray> mine;
    for (const QString &fd : QDir("/proc/self/fd").entryList(QDir::System | QDir::NoDotAndDotDot)) {
        char target[64] = {};
        if (readlink(qPrintable("/proc/self/fd/" + fd), target, sizeof(target) - 1) > 0)
            mine << QByteArray(target).mid(8).chopped(1);   // "socket:[inode]"
    }
    int n = 0;
    for (const char *table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"})
        for (const QByteArray &line : TextFile::read(table).split('\n').mid(1)) {
            const QList<QByteArray> f = line.simplified().split(' ');
            n += f.size() > 9 && f.at(3) == "0A" && mine.contains(f.at(9));
        }
    return n;
}
} // namespace

class TestHandOff : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    NginxServer m_nginx;   // serves a.bin to d.bin

    QString url(const char *file) const { return m_nginx.baseUrl() + "/" + file; }

    // Runs UrlPass (as another user with asUser, setpriv's arguments) without blocking the window's event loop.
    int urlPass(const QString &address, QByteArray *said = nullptr, const QStringList &asUser = {})
    {
        QProcess p;
        QStringList args = asUser + QStringList{ZK_BINARY_DIR "/UrlPass", address};
        p.start(args.takeFirst(), args);
        if (!QTest::qWaitFor([&p] { return p.state() == QProcess::NotRunning; }, 15000))
            return -1;
        if (said)
            *said = p.readAllStandardError();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

    // The address a visible new-project dialog shows, or empty.
    static QString dialogUrl(Form1 &w)
    {
        QWidget *d = w.newProjectDialog();
        return d && d->isVisible() ? d->findChild<QLineEdit *>("Txt_Url")->text() : QString();
    }

private slots:
    void initTestCase()
    {
        useOwnHome(m_dir.path());
        QVERIFY(QDir().mkpath(m_dir.path() + "/www"));
        for (const char *name : {"a.bin", "b.bin", "c.bin", "d.bin"})
            QVERIFY(TextFile::write(m_dir.path() + "/www/" + name, QByteArray(70000, name[0])));
        QVERIFY2(m_nginx.start(m_dir.path() + "/www"), qPrintable(m_nginx.lastError()));
    }

    void cleanupTestCase()
    {
        m_nginx.stop();
    }

    // Catches a TCP port opened without the setting, a second listener that takes over the running one's socket, a
    // silent client that holds up everyone else, data without the prefix taken for an address, a UrlPass that says
    // "delivered" when nothing took the address, a hand-off dialog that an Enter typed for another program confirms;
    // addresses that wait behind an open dialog not each ending as a project of its own (the address box cleared
    // under a waiting address, a confirmation overwriting the one before it).
    void handOffs()
    {
        Form1 w({});
        QVERIFY(startUp(w));
        QCOMPARE(listeningTcpSockets(), 0);
        {
            Form1 second({});
            QVERIFY2(second.Lbl_Status_H->text().contains(UrlHandOff::socketPath()), qPrintable(second.Lbl_Status_H->text()));
        }
        QLocalSocket silent[3], plain;
        for (QLocalSocket &s : silent)
            s.connectToServer(UrlHandOff::socketPath());
        plain.connectToServer(UrlHandOff::socketPath());
        plain.write(url("a.bin").toUtf8());
        QTRY_COMPARE_WITH_TIMEOUT(plain.state(), QLocalSocket::UnconnectedState, 5000);
        QVERIFY(plain.readAll().isEmpty() && w.Txt_Url->text() == "http://www." && !w.urlProbe()->isRunning());

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(urlPass(url("a.bin")), 0);
        QVERIFY2(clock.elapsed() < 5000, "a silent client held up the hand-off");
        QTRY_VERIFY_WITH_TIMEOUT(dialogUrl(w).endsWith("/a.bin"), 10000);
        QTest::keyClick(w.newProjectDialog(), Qt::Key_Return);   // typed for another program
        for (const char *file : {"b.bin", "c.bin", "d.bin"})
            QCOMPARE(urlPass(url(file)), 0);
        QVERIFY(dialogUrl(w).endsWith("/a.bin") && !w.urlProbe()->isRunning());
        for (const char *file : {"a.bin", "b.bin", "c.bin", "d.bin"}) {
            QTRY_VERIFY_WITH_TIMEOUT(dialogUrl(w).endsWith(QString("/") + file), 10000);
            w.newProjectDialog()->findChild<QPushButton *>("Cmd_Downloader")->click();
        }
        const ProjectStore &store = w.engine().store();
        QTRY_COMPARE_WITH_TIMEOUT(store.finished().size(), 4, 60000);
        QSet<QString> names;
        for (int i = 0; i < 4; ++i) {
            const QString file = QString("abcd").at(i) + QString(".bin"), url = store.finished().at(i).url;
            names << store.finished().at(i).name;
            QVERIFY2(url.endsWith("/" + file), qPrintable(url));
            QCOMPARE(TextFile::read(m_dir.path() + "/in/" + file), QByteArray(70000, file.at(0).toLatin1()));
        }
        QCOMPARE(names.size(), 4);

        w.listener().close();
        QByteArray said;
        QCOMPARE(urlPass(url("a.bin"), &said), 1);
        QVERIFY2(said.count('\n') == 1 && said.contains(UrlHandOff::socketPath().toUtf8()), said.constData());
    }

    // Catches a hand-off another user of the machine can use: a port or socket anyone may reach, or one that takes
    // addresses from another user's process.
    void otherUsersCannotHandOver()
    {
        if (getuid() != 0)
            QSKIP("needs root to run UrlPass as another user");
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty())
            QSKIP("setpriv (util-linux) is not installed");
        Form1 w({});
        QVERIFY(startUp(w));
        QByteArray said;
        QCOMPARE(urlPass(url("a.bin"), &said, {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"}), 1);
        QVERIFY2(said.startsWith("UrlPass: "), said.constData());   // it ran, and failed
        QTest::qWait(300);
        QVERIFY(w.Txt_Url->text() == "http://www." && !w.urlProbe()->isRunning() && !w.newProjectDialog());
    }

    // Catches a dialog transient for Qt's hidden leader window instead of the main window, the window raised over its
    // dialog for the next address, and a dialog that takes the keyboard from the program the user types in.
    void dialogStaysAboveItsWindowUnderX()
    {
        const QString xvfb = QStandardPaths::findExecutable("Xvfb"), openbox = QStandardPaths::findExecutable("openbox");
        if (xvfb.isEmpty() || openbox.isEmpty() || QStandardPaths::findExecutable("xprop").isEmpty())
            QSKIP("Xvfb, openbox or xprop is not installed (scripts/install-deps.sh installs them)");
        QProcess server, wm, program;
        const auto stopAll = qScopeGuard([&] {
            for (QProcess *p : {&program, &wm, &server})
                stopProcess(p, 10000);
        });
        server.start(xvfb, {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        QVERIFY(QTest::qWaitFor([&] { return server.canReadLine(); }, 10000));
        const QString display = ":" + server.readLine().trimmed();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display);
        env.insert("QT_QPA_PLATFORM", "xcb");
        for (QProcess *p : {&wm, &program})
            p->setProcessEnvironment(env);
        const auto xprop = [&](const QStringList &args) {
            QProcess p;
            p.start("xprop", QStringList{"-display", display} + args);
            return p.waitForFinished(10000) ? p.readAllStandardOutput() : QByteArray();
        };
        // openbox now and then fails to open a display that has just come up: it is started again.
        const auto wmUp = [&] { return xprop({"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id"); };
        for (int attempt = 0; attempt < 3 && !wmUp(); ++attempt) {
            if (wm.state() == QProcess::NotRunning)
                wm.start(openbox, {});
            (void)QTest::qWaitFor([&] { return wm.state() == QProcess::NotRunning || wmUp(); }, 5000);
        }
        QVERIFY2(wmUp(), wm.readAllStandardError().right(300).constData());
        // The windows a root property lists (bottom to top for the stacking list), each as "id name".
        const auto windows = [&](const char *property) {
            QStringList found;
            for (auto m = QRegularExpression("0x[0-9a-f]+").globalMatch(xprop({"-root", property})); m.hasNext();) {
                const QString id = m.next().captured();
                found << id + ' ' + QString(xprop({"-id", id, "_NET_WM_NAME"})).section('"', 1, 1);
            }
            return found;
        };
        const QRegularExpression mainWindow("^\\S+ ZOV Kestra Download$"), dialog("^\\S+ New project$");
        program.start(ZK_BINARY_DIR "/zov-kestra-download", {});
        QVERIFY(QTest::qWaitFor([&] { return windows("_NET_CLIENT_LIST_STACKING").indexOf(mainWindow) >= 0; }, 15000));
        QCOMPARE(urlPass(url("a.bin")), 0);
        QVERIFY(QTest::qWaitFor([&] { return windows("_NET_CLIENT_LIST_STACKING").indexOf(dialog) >= 0; }, 10000));
        QCOMPARE(urlPass(url("b.bin")), 0);   // brings the window to the front
        QTest::qWait(700);
        const QStringList stack = windows("_NET_CLIENT_LIST_STACKING");
        const auto id = [&stack](const QRegularExpression &window) { return stack.value(stack.indexOf(window)).section(' ', 0, 0); };
        QVERIFY2(stack.indexOf(mainWindow) >= 0 && stack.indexOf(dialog) > stack.indexOf(mainWindow), qPrintable(stack.join(", ")));
        QVERIFY(xprop({"-id", id(dialog), "WM_TRANSIENT_FOR"}).contains("# " + id(mainWindow).toLatin1()));
        QVERIFY2(!windows("_NET_ACTIVE_WINDOW").value(0).endsWith(" New project"), "the dialog took the keyboard");
    }

    // Catches an autostart entry toggled by the box rather than by what exists, a box whose click writes while
    // start-up restores it, browser hosts the box does not install or remove, the old browser's script or notice.
    void browserHostsAndAutostart()
    {
        Form1 w({});
        QVERIFY(startUp(w));
        QVERIFY(!w.ChK_IEMenu->isChecked());
        // Only the browsers this user has run get a manifest.
        QVERIFY(QDir().mkpath(qEnvironmentVariable("XDG_CONFIG_HOME") + "/vivaldi") && QDir().mkpath(QDir::homePath() + "/.mozilla"));
        w.ChK_IEMenu->click();
        const QStringList manifests = NativeHost::installedForUser();
        QCOMPARE(manifests, (QStringList{NativeHost::userManifestPaths().at(3), NativeHost::userManifestPaths().at(5)}));
        for (const QString &path : manifests)
            QVERIFY2(TextFile::read(path).contains(NativeHost::hostPath().toUtf8()), qPrintable(path));
        QCOMPARE(w.Lbl_BrowserHosts->text(), "Installed for Vivaldi, Firefox.");
        QVERIFY(w.ChK_IEMenu->isChecked() && !QFile::exists(QCoreApplication::applicationDirPath() + "/IEDownloadScript.zov"));
        QVERIFY(!visibleMessageBox());
        {
            Form1 restored({});
            QVERIFY(startUp(restored) && restored.ChK_IEMenu->isChecked());
        }
        w.ChK_IEMenu->click();
        QVERIFY(!w.ChK_IEMenu->isChecked() && !QFile::exists(manifests.first()) && !QFile::exists(manifests.last()));

        const QString dir = QCoreApplication::applicationDirPath();
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

    // Catches a host that waits for more than a message before it answers (the browser keeps the pipe open), crashes
    // or goes out of step on odd framing (empty, one byte, the 64 KiB limit and one over, two messages in one read, a
    // length longer than what follows), answers without the length prefix, hands over a body that is not JSON or a
    // scheme but http, https and ftp, loses the browser's session or lets a line break in it add a header, says ok to
    // a caught download before the program's probe succeeded, or counts a silent listener as delivery.
    void hostFraming()
    {
        {
            QLocalServer silent;
            QVERIFY(silent.listen(UrlHandOff::socketPath()));
            QString why;
            QCOMPARE(UrlHandOff::send("http://h/x", {}, 300, 300, &why), UrlHandOff::Outcome::Unreachable);
        }
        const QByteArray limit = "{\"url\":\"http://h/" + QByteArray(65536 - 19, 'a') + "\"}";
        const QByteArray over = "{\"url\":\"http://h/" + QByteArray(65537 - 19, 'a') + "\"}";
        const QByteArray input = framed("") + framed("x") + framed(limit) + framed(over)
                                 + framed("{\"url\":\"ftp://h/f\"}") + framed("{\"url\":\"https://h/g\"}")
                                 + framed("not json") + framed("{\"url\":\"file:///etc/passwd\"}")
                                 + framed("{\"url\":\"http://h/s\",\"referrer\":\"http://h/\",\"userAgent\":\"UA/1\",\"cookies\":\"a=1; b=2\"}")
                                 + framed("{\"url\":\"http://h/n\",\"cookies\":\"a=1\\r\\nX-Evil: 1\"}")
                                 + framed("{\"url\":\"http://h/p\",\"probe\":true}") + framed("{\"url\":\"http://h/q\",\"probe\":true}")
                                 + framed("{\"url\"", 100);
        UrlListener listener;   // the program's own, without its window
        QVERIFY(listener.open(UrlHandOff::socketPath(), 0));
        QStringList received;
        QList<RequestHeaders::Line> session;
        connect(&listener, &UrlListener::addressReceived, this, [&](const HandedOver &h) {
            received << h.address;
            session += h.headers.lines();
            // The probe of .../q succeeds, that of .../p does not.
            if (h.ticket)
                QVERIFY(listener.answerProbe(h.ticket, h.address.endsWith("/q"), "404 Not Found"));
        });
        QProcess host;
        host.start(QStringLiteral(ZK_BINARY_DIR "/zov-kestra-native-host"), {"chrome-extension://x/"});
        QVERIFY(host.waitForStarted());
        // The first answer comes while the browser keeps the pipe open.
        host.write(framed("{\"url\":\"javascript:alert(1)\"}"));
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
            answers << (o.value("ok").toBool() ? QString("ok") : o.value("why").toString().section(' ', 0, 1));
            out.remove(0, 4 + n);
        }
        QCOMPARE(answers, (QStringList{"only http://,", "expected {\"url\":", "expected {\"url\":", "ok", "message over", "ok", "ok",
                                       "expected {\"url\":", "only http://,", "ok", "the cookies", "404 Not", "ok", "message cut"}));
        QTRY_COMPARE(received, (QStringList{limit.mid(8, limit.size() - 10), "ftp://h/f", "https://h/g", "http://h/s",
                                        "http://h/p", "http://h/q"}));
        QCOMPARE(session, (QList<RequestHeaders::Line>{{"Referer", "http://h/"}, {"User-Agent", "UA/1"}, {"Cookie", "a=1; b=2"}}));
    }
};

QTEST_MAIN(TestHandOff)
#include "test_handoff.moc"
