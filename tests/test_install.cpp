// The tree `cmake --install` puts into a prefix, and the installed zov-kestra-get run with no ZOV_KESTRA_HOME.
#include "core/text_file.h"
#include "support/nginx_server.h"

#include <QJsonDocument>
#include <QtTest>

class TestInstall : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    // Runs program: its exit code (-1: not started, crashed or not done in two minutes), all it said in said.
    static int run(const QString &program, const QStringList &args, QByteArray *said,
                   const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        QProcess p;
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        const bool done = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit;
        *said = p.readAll();
        return done ? p.exitCode() : -1;
    }

private slots:
    // Fault: files missing or refused by the validators, browser host manifests missing from where each browser
    // reads them (whatever the prefix), naming another host or left out of install_manifest.txt (an uninstall
    // would leave them), no --version/--help, data or files put beside the executable.
    void installedTree()
    {
        const QStringList browsers = {"/etc/chromium", "/etc/opt/chrome", "/etc/opt/brave.com/brave", "/etc/opt/vivaldi",
                                      "/etc/opt/edge", "/usr/lib/mozilla"};
        QByteArray said;
        QString root, prefix;
        // Staged with DESTDIR, as a package build or `sudo cmake --install` would lay it out.
        for (const char *p : {"/usr", "/usr/local"}) {
            prefix = p;
            root = m_dir.path() + "/stage" + QString(p).replace('/', '-');
            QProcessEnvironment staged = QProcessEnvironment::systemEnvironment();
            staged.insert("DESTDIR", root);
            QCOMPARE(run(ZK_CMAKE_COMMAND, {"--install", ZK_BINARY_DIR, "--prefix", prefix}, &said, staged), 0);
            const QList<QByteArray> listed = TextFile::read(ZK_BINARY_DIR "/install_manifest.txt").split('\n');
            for (const QString &browser : browsers) {
                const QString manifest = browser + "/native-messaging-hosts/org.zovkestra.download.json";
                const QJsonDocument doc = QJsonDocument::fromJson(TextFile::read(root + manifest));
                QVERIFY2(doc["path"] == prefix + "/bin/zov-kestra-native-host" && listed.contains(manifest.toUtf8())
                             && doc[browser.contains("mozilla") ? "allowed_extensions" : "allowed_origins"].isArray(),
                         qPrintable(root + manifest));
            }
            QVERIFY(QFileInfo(root + prefix + "/bin/zov-kestra-native-host").isExecutable());
        }
        prefix = root + prefix;
        const QString share = prefix + "/share/";
        for (const QStringList &check : {QStringList{"desktop-file-validate", share + "applications/zov-kestra-download.desktop"},
                                         {"appstreamcli", "validate", "--no-net", share + "metainfo/org.zovkestra.zovkestradownload.metainfo.xml"}})
            QVERIFY2(run(check[0], check.mid(1), &said) == 0, qPrintable(check[0] + ": " + said));
        QVERIFY(TextFile::read(share + "applications/zov-kestra-download.desktop").contains("Categories=Network;FileTransfer;")
                && QFileInfo(share + "icons/hicolor/scalable/apps/zov-kestra-download.svg").size() > 0
                && QFileInfo(share + "man/man1/zov-kestra-get.1").size() > 0 && QFileInfo(prefix + "/bin/zov-kestra-download").isExecutable());
        const QString get = prefix + "/bin/zov-kestra-get";
        QVERIFY(run(get, {"--version"}, &said) == 0 && said.startsWith("zov-kestra-get 2.") && run(get, {"--help"}, &said) == 0
                && said.contains("--dest") && said.contains("ZOV_KESTRA_HOME"));
        NginxServer nginx;
        QVERIFY(QDir().mkpath(m_dir.path() + "/www") && TextFile::write(m_dir.path() + "/www/f.bin", QByteArray(3 << 20, 'k'))
                && nginx.start(m_dir.path() + "/www"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("ZOV_KESTRA_HOME");
        for (const char *var : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
            env.insert(var, m_dir.path() + "/" + var);
        const QStringList before = QDir(prefix + "/bin").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        QVERIFY2(run(get, {nginx.baseUrl() + "/f.bin"}, &said, env) == 0, said.constData());
        QVERIFY(QFileInfo::exists(m_dir.path() + "/XDG_DATA_HOME/zov-kestra-download/projects/f/project.zov"));
        QCOMPARE(TextFile::read(m_dir.path() + "/HOME/Downloads/f.bin"), TextFile::read(m_dir.path() + "/www/f.bin"));
        QCOMPARE(QDir(prefix + "/bin").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "test_install.moc"
