// The project store: loading the list file and the project files into the nine
// working lists, the rows of the two list views, and the whole-file rewrites.

#include "core/program_folder.h"
#include "core/settings.h"
#include "core/text_file.h"
#include "display/formatters.h"
#include "projects/project_file.h"
#include "projects/project_store.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <tuple>

namespace {

QByteArray projectText(const QString &url, qint64 bytes, int status)
{
    return ProjectFile::build({.url = url, .bytes = bytes, .path = "/tmp/received/", .status = status});
}

// One group of the working lists as "name|url|bytes" entries.
QStringList group(const QStringList &names, const QStringList &urls, const QStringList &bytes)
{
    QStringList out;
    for (qsizetype i = 0; i < std::max({names.size(), urls.size(), bytes.size()}); ++i)
        out << names.value(i) + '|' + urls.value(i) + '|' + bytes.value(i);
    return out;
}
QStringList waiting(const ProjectStore &s) { return group(s.Lst_Projects, s.Lst_Download_url, s.Lst_Download_byte); }
QStringList finished(const ProjectStore &s) { return group(s.Lst_Project2, s.Lst_Download_Url2, s.Lst_Download_Byte2); }
QStringList inProgress(const ProjectStore &s)
{
    return group(s.Lst_Projects_En_Cours, s.Lst_Download_Url_En_Cours, s.Lst_Download_Byte_En_Cours);
}

// Each row as "image|name|url|size|status".
QStringList rowsText(const QList<ProjectStore::ListRow> &rows)
{
    QStringList out;
    for (const auto &r : rows)
        out << QStringLiteral("%1|%2|%3|%4|%5").arg(r.image).arg(r.name, r.url, r.size, r.status);
    return out;
}

} // namespace

class TestProjectStore : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home;
    QTemporaryDir m_config;
    QString m_projects;

    void writeList(const QByteArray &text) { QVERIFY(TextFile::write(m_projects + "main.zov", text)); }
    QByteArray listText() const { return TextFile::read(m_projects + "main.zov"); }
    // Projects "name" (url "h/name", size, status), "odd" whose url holds the text of
    // a later key, and "nofile", a folder without project file.
    void writeSample()
    {
        const std::tuple<QString, qint64, int> projects[] = {{"a", 1, 1},  {"b", 2, 1},  {"c", 3, 1},
                                                             {"ab", 12, 2}, {"busy", 3000000000LL, 0}, {"done", 20, 2}};
        for (const auto &[name, bytes, status] : projects)
            QVERIFY(QDir().mkpath(m_projects + name)
                    && TextFile::write(m_projects + name + "/project.zov", projectText("h/" + name, bytes, status)));
        QVERIFY(QDir().mkpath(m_projects + "nofile") && QDir().mkpath(m_projects + "odd")
                && TextFile::write(m_projects + "odd/project.zov", "url:h/bytes:9/x\r\nbytes:42\r\nstatus:1"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid() && m_config.isValid());
        qputenv("ZOV_KESTRA_HOME", m_home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
        Settings::setApplicationName(QStringLiteral("test_project_store"));
        m_projects = ProgramFolder::projectsDir();
    }

    void init()
    {
        // Each case starts from an empty store and default settings.
        QDir(m_projects).removeRecursively();
        QVERIFY(QDir().mkpath(m_projects));
        QFile::remove(Settings::filePath());
    }

    // A name without a readable project file, or that cannot name a folder, is left
    // out and never borrows its neighbour's url or size; the list file is kept.
    void load_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QStringList>("waiting");
        QTest::addColumn<QStringList>("busy");
        QTest::addColumn<QStringList>("finished");
        const QStringList none;
        QTest::newRow("last name without CR LF") << QByteArray("a\r\nb\r\nc") << QStringList{"a|h/a|1", "b|h/b|2"} << none << none;
        QTest::newRow("bare LF is not a line end") << QByteArray("a\nb\r\n") << none << none << none;
        QTest::newRow("empty") << QByteArray("") << none << none << none;
        QTest::newRow("no list file") << QByteArray() << none << none << none;
        QTest::newRow("missing, no file, unusable") << QByteArray("a\r\ngone\r\nnofile\r\nc\r\n..\r\n\r\nb\r\n")
                                                    << QStringList{"a|h/a|1", "c|h/c|3", "b|h/b|2"} << none << none;
        QTest::newRow("url holding \"bytes:\"") << QByteArray("odd\r\n") << QStringList{"odd|h/bytes:9/x|42"} << none << none;
        QTest::newRow("statuses 2, 0, 1; names containing each other")
            << QByteArray("ab\r\nbusy\r\nb\r\na\r\ndone\r\n") << QStringList{"b|h/b|2", "a|h/a|1"}
            << QStringList{"busy|h/busy|3000000000"} << QStringList{"ab|h/ab|12", "done|h/done|20"};
    }

    void load()
    {
        QFETCH(QByteArray, list);
        writeSample();
        if (!list.isNull())
            writeList(list);
        ProjectStore store;
        QCOMPARE(store.load(), !list.isNull());
        QTEST(waiting(store), "waiting");
        QTEST(inProgress(store), "busy");
        QTEST(finished(store), "finished");
        QCOMPARE(store.Recuperation, !store.Lst_Projects_En_Cours.isEmpty());
        QCOMPARE(listText(), list);
    }

    // Main rows: the project in progress, then the queue; finished rows newest first.
    void rows()
    {
        writeSample();
        writeList("ab\r\nbusy\r\nc\r\ndone\r\n");
        ProjectStore store;
        QVERIFY(store.load());
        QCOMPARE(rowsText(store.rowsMain()), (QStringList{"2|busy|h/busy|" + Format_Taille(3000000000LL) + "|Downloading",
                                                          "3|c|h/c|" + Format_Taille(3) + "|Waiting"}));
        QCOMPARE(store.waitingIndexOfMainRow(2), 0);
        QCOMPARE(rowsText(store.rowsFinished()), (QStringList{"1|done|h/done|" + Format_Taille(20) + "|Finished",
                                                              "1|ab|h/ab|" + Format_Taille(12) + "|Finished"}));
        QVERIFY(store.finishedIndexOfRow(1) == 1 && store.finishedIndexOfRow(2) == 0);
        // Once nothing is in progress the flag stays clear and row 1 is the queue's head.
        QVERIFY(store.rewriteStatus("busy", 2) && store.load());
        QVERIFY(!store.Recuperation && store.rowsMain().size() == 1);
        QCOMPARE(store.waitingIndexOfMainRow(1), 0);
    }

    void statusRewrite_data()
    {
        const QByteArray head = projectText("h/f", 5, 1).chopped(10); // no "status:1\r\n"
        QVERIFY(head.endsWith("Type:0\r\n"));
        QByteArray odd = head;
        odd.replace("path:/tmp/received/", "path:/tmp/status:1/");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("kept");
        QTest::newRow("status line") << head + "status:12345\r\n" << head;
        QTest::newRow("extra lines") << head + "status:0\r\njunk\r\nstatus:2\r\nmore" << head;
        QTest::newRow("no status line") << head << head;
        QTest::newRow("last line unended") << head.chopped(2) << head;
        QTest::newRow("status: inside a value") << odd + "status:1\r\n" << odd;
    }

    void statusRewrite()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, kept);
        ProjectStore store;
        for (int digit : {0, 2, 1}) {
            QVERIFY(store.writeProjectFile("p", before) && store.rewriteStatus("p", digit));
            QCOMPARE(TextFile::read(store.projectFilePath("p")), kept + "status:" + QByteArray::number(digit) + "\r\n");
        }
        // A project whose file is gone is not recreated by a status change.
        QVERIFY(!store.rewriteStatus("gone", 0));
        QVERIFY(!QFile::exists(store.projectFilePath("gone")));
    }

    void listFileOperations()
    {
        writeSample();
        writeList("a\r\nab\r\nbusy\r\nb\r\ndone\r\n");
        ProjectStore store;
        QVERIFY(store.load());
        // A move in the queue, as the project menu does it: finished, in progress, waiting.
        store.Lst_Projects.swapItemsAt(0, 1);
        QVERIFY(store.rewriteListFile());
        QCOMPARE(listText(), QByteArray("ab\r\ndone\r\nbusy\r\nb\r\na\r\n"));

        // Whole names only: neither a part of a name nor a longer name matches.
        QCOMPARE(ProjectStore::indexOfName({"ab", "b", "a"}, "a"), 2);
        QCOMPARE(ProjectStore::indexOfName({"ab", "b"}, "a"), -1);
        QVERIFY(store.removeFromListFile("a") && store.removeFromListFile("b"));
        QVERIFY(!store.removeFromListFile("a") && !store.removeFromListFile("abc"));
        QCOMPARE(listText(), QByteArray("ab\r\ndone\r\nbusy\r\n"));
        // Only the first of two equal lines goes.
        writeList("x\r\nab\r\nx\r\n");
        QVERIFY(store.removeFromListFile("x"));
        QCOMPARE(listText(), QByteArray("ab\r\nx\r\n"));

        QVERIFY(QFile::remove(store.listFilePath()));
        QVERIFY(store.appendToListFile("one") && store.appendToListFile(QString::fromUtf8("déjà vu")));
        QCOMPARE(listText(), QByteArray("one\r\nd\xc3\xa9j\xc3\xa0 vu\r\n"));
        // An unended last line was never a project: the new name becomes a line of its own.
        writeList("a\r\nb\r\nc");
        QVERIFY(store.appendToListFile(QStringLiteral("d")));
        // Names that could not be a folder of the store are refused.
        for (const char *bad : {"", ".", "..", "x/y", "x\\y", "x\ty"})
            QVERIFY2(!store.appendToListFile(QString::fromLatin1(bad)), bad);
        QCOMPARE(listText(), QByteArray("a\r\nb\r\nd\r\n"));
    }

    void newProjectFileFromSettings()
    {
        // Default destination and colours, pack size from the settings.
        Settings::write(QStringLiteral("packsize"), qint64(2048000));
        QCOMPARE(ProjectFile::build(ProjectFile::fromSettings("host/d/f.zip", 1048576, false)),
                 "url:host/d/f.zip\r\nbytes:1048576\r\npath:" + ProgramFolder::path().toUtf8()
                     + "/received/\r\npacksize:2048000\r\nshowmodem:1\r\nbar1back:16777215\r\nbar1for:255\r\n"
                       "bar2back:16777215\r\nbar2for:8421631\r\ngraphback:16777215\r\ngraphfor:8421631\r\n"
                       "graphmodem:0\r\nType:0\r\nstatus:1\r\n");
        // Options changed by the user travel into the file; FTP sets the type.
        Settings::write(QStringLiteral("ShowModem"), qint64(0));
        Settings::write(QStringLiteral("secbarrefor"), qint64(65280));
        const QByteArray ftp = ProjectFile::build(ProjectFile::fromSettings("ftp.h/pub/big.iso", 5000000000LL, true));
        QVERIFY(ftp.contains("\r\nbytes:5000000000\r\n") && ftp.contains("\r\nshowmodem:0\r\n"));
        QVERIFY(ftp.contains("\r\nbar2for:65280\r\n") && ftp.endsWith("\r\nType:1\r\nstatus:1\r\n"));
        // Fields are read in file order; a missing one keeps its default.
        const ProjectRecord odd = ProjectFile::parse("url:h/bytes:9/x\r\nbytes:42\r\nstatus:0");
        QVERIFY(odd.url == "h/bytes:9/x" && odd.bytes == 42 && odd.status == 0 && odd.packsize == 512000);
    }

    void addNewProjectAndNoTempFiles()
    {
        ProjectStore store;
        QSignalSpy changed(&store, &ProjectStore::listsChanged);
        const QByteArray second = projectText("h/two.zip", 200, 1);
        QVERIFY(store.addNewProject("one", projectText("h/one.zip", 100, 1), "h/one.zip", 100));
        QVERIFY(store.addNewProject("two", second, "h/two.zip", 200));
        QVERIFY(!store.addNewProject("../out", second, "h/x", 1));
        QCOMPARE(changed.count(), 2);
        QCOMPARE(waiting(store), (QStringList{"one|h/one.zip|100", "two|h/two.zip|200"}));
        QCOMPARE(TextFile::read(store.projectFilePath("two")), second);
        QCOMPARE(listText(), QByteArray("one\r\ntwo\r\n"));

        // Rewrites of every kind, then nothing but the store's own files remains.
        QVERIFY(store.rewriteStatus("one", 0) && store.rewriteListFile() && store.writeProjectFile("two", second));
        QVERIFY(store.removeFromListFile("two") && store.appendToListFile("two"));
        const auto all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
        QCOMPARE(QDir(m_home.path()).entryList(all), QStringList{"projects"});
        QCOMPARE(QDir(m_projects).entryList(all), (QStringList{"main.zov", "one", "two"}));
        for (const char *name : {"one", "two"})
            QCOMPARE(QDir(m_projects + name).entryList(all), (QStringList{"project.zov", "server.zov"}));
        QCOMPARE(listText(), QByteArray("one\r\ntwo\r\n"));
        QVERIFY(TextFile::read(store.projectFilePath("one")).endsWith("\r\nstatus:0\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestProjectStore)
#include "test_project_store.moc"
