// The project store: loading the list file and the project files into the nine
// working lists, the rows of the two list views, and the whole-file rewrites.

#include "app/program_folder.h"
#include "app/settings.h"
#include "app/text_file.h"
#include "display/formatters.h"
#include "projects/project_file.h"
#include "projects/project_store.h"

#include <QDir>
#include <QDirIterator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray projectText(const QString &url, qint64 bytes, int status)
{
    ProjectRecord r;
    r.url = url;
    r.bytes = bytes;
    r.path = QStringLiteral("/tmp/received/");
    r.status = status;
    return ProjectFile::build(r);
}

QStringList rowNames(const QList<ProjectStore::ListRow> &rows)
{
    QStringList names;
    for (const auto &row : rows)
        names << row.name;
    return names;
}

// Every file below folder, relative to it.
QStringList filesBelow(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

class TestProjectStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void listFileLinesEndedByCrLf_data();
    void listFileLinesEndedByCrLf();
    void statusesSortIntoGroupsAndRows();
    void unreadableProjectNeverBorrows();
    void namesContainingEachOther();
    void finishedRowsNewestFirst();
    void statusRewrite_data();
    void statusRewrite();
    void rewriteListFileOrder();
    void listFileAppend();
    void newProjectFileFromSettings();
    void fieldsInFileOrder();
    void addNewProjectAndNoTempFiles();

private:
    void writeProject(const QString &name, const QByteArray &text);
    void writeList(const QByteArray &text);
    QByteArray listText() const;

    QTemporaryDir m_home;
    QTemporaryDir m_config;
    QString m_projects;
};

void TestProjectStore::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(m_config.isValid());
    qputenv("ZOV_KESTRA_HOME", m_home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    Settings::setApplicationName(QStringLiteral("test_project_store"));
    m_projects = ProgramFolder::projectsDir();
}

void TestProjectStore::init()
{
    // Each case starts from an empty store and default settings.
    QDir(m_projects).removeRecursively();
    QVERIFY(QDir().mkpath(m_projects));
    QFile::remove(Settings::filePath());
}

void TestProjectStore::writeProject(const QString &name, const QByteArray &text)
{
    QVERIFY(QDir().mkpath(m_projects + name));
    QVERIFY(TextFile::write(m_projects + name + QStringLiteral("/project.zov"), text));
}

void TestProjectStore::writeList(const QByteArray &text)
{
    QVERIFY(TextFile::write(m_projects + QStringLiteral("main.zov"), text));
}

QByteArray TestProjectStore::listText() const
{
    return TextFile::read(m_projects + QStringLiteral("main.zov"));
}

void TestProjectStore::listFileLinesEndedByCrLf_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QStringList>("loaded");
    QTest::newRow("last name without CR LF") << QByteArray("a\r\nb\r\nc") << QStringList{"a", "b"};
    QTest::newRow("all ended") << QByteArray("a\r\nb\r\nc\r\n") << QStringList{"a", "b", "c"};
    QTest::newRow("bare LF is not a line end") << QByteArray("a\nb\r\n") << QStringList{};
    QTest::newRow("empty") << QByteArray() << QStringList{};
}

void TestProjectStore::listFileLinesEndedByCrLf()
{
    QFETCH(QByteArray, list);
    QFETCH(QStringList, loaded);
    for (const char *n : {"a", "b", "c"})
        writeProject(QString::fromLatin1(n), projectText(QStringLiteral("h/") + QLatin1String(n), 10, 1));
    writeList(list);

    ProjectStore store;
    QVERIFY(store.load());
    QCOMPARE(store.Lst_Projects, loaded);
    QCOMPARE(store.Lst_Download_url.size(), loaded.size());
    QVERIFY(!store.Recuperation);
}

void TestProjectStore::statusesSortIntoGroupsAndRows()
{
    writeProject(QStringLiteral("done"), projectText(QStringLiteral("h/done.zip"), 1048576, 2));
    writeProject(QStringLiteral("busy"), projectText(QStringLiteral("h/busy.zip"), 3000000000LL, 0));
    writeProject(QStringLiteral("next"), projectText(QStringLiteral("ftp.h/next.iso"), 2048, 1));
    writeList("done\r\nbusy\r\nnext\r\n");

    ProjectStore store;
    QVERIFY(store.load());
    QCOMPARE(store.Lst_Project2, QStringList{"done"});
    QCOMPARE(store.Lst_Download_Byte2, QStringList{"1048576"});
    QCOMPARE(store.Lst_Projects_En_Cours, QStringList{"busy"});
    QCOMPARE(store.Lst_Download_Url_En_Cours, QStringList{"h/busy.zip"});
    // Above 2 GiB the size text comes through whole.
    QCOMPARE(store.Lst_Download_Byte_En_Cours, QStringList{"3000000000"});
    QCOMPARE(store.Lst_Projects, QStringList{"next"});
    QCOMPARE(store.Lst_Download_url, QStringList{"ftp.h/next.iso"});
    QVERIFY(store.Recuperation);

    const auto main = store.rowsMain();
    QCOMPARE(main.size(), 2);
    QCOMPARE(main.at(0).image, 2);
    QCOMPARE(main.at(0).name, QStringLiteral("busy"));
    QCOMPARE(main.at(0).url, QStringLiteral("h/busy.zip"));
    QCOMPARE(main.at(0).size, Format_Taille(3000000000LL));
    QCOMPARE(main.at(0).status, QStringLiteral("Downloading"));
    QCOMPARE(main.at(1).image, 3);
    QCOMPARE(main.at(1).name, QStringLiteral("next"));
    QCOMPARE(main.at(1).status, QStringLiteral("Waiting"));
    QCOMPARE(store.waitingIndexOfMainRow(2), 0);

    const auto finished = store.rowsFinished();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).image, 1);
    QCOMPARE(finished.at(0).name, QStringLiteral("done"));
    QCOMPARE(finished.at(0).status, QStringLiteral("Finished"));

    // Once nothing is in progress the flag stays clear and row 1 is the queue's head.
    QVERIFY(store.rewriteStatus(QStringLiteral("busy"), 2));
    QVERIFY(store.load());
    QVERIFY(!store.Recuperation);
    QCOMPARE(store.Lst_Project2, (QStringList{"done", "busy"}));
    QCOMPARE(rowNames(store.rowsMain()), QStringList{"next"});
    QCOMPARE(store.waitingIndexOfMainRow(1), 0);
}

void TestProjectStore::unreadableProjectNeverBorrows()
{
    writeProject(QStringLiteral("first"), projectText(QStringLiteral("h/first"), 111, 1));
    QVERIFY(QDir().mkpath(m_projects + QStringLiteral("nofile"))); // folder without project.zov
    writeProject(QStringLiteral("last"), projectText(QStringLiteral("h/last"), 333, 2));
    writeProject(QStringLiteral("mid"), projectText(QStringLiteral("h/mid"), 222, 1));
    const QByteArray list("first\r\ngone\r\nnofile\r\nmid\r\n..\r\n\r\nlast\r\n");
    writeList(list);

    ProjectStore store;
    QVERIFY(store.load());
    QCOMPARE(store.Lst_Projects, (QStringList{"first", "mid"}));
    QCOMPARE(store.Lst_Download_url, (QStringList{"h/first", "h/mid"}));
    QCOMPARE(store.Lst_Download_byte, (QStringList{"111", "222"}));
    QCOMPARE(store.Lst_Project2, QStringList{"last"});
    QCOMPARE(store.Lst_Download_Byte2, QStringList{"333"});
    QCOMPARE(listText(), list);

    // No list file at all: an empty store.
    QVERIFY(QFile::remove(m_projects + QStringLiteral("main.zov")));
    QVERIFY(!store.load());
    QVERIFY(store.Lst_Projects.isEmpty() && store.Lst_Project2.isEmpty());
}

void TestProjectStore::namesContainingEachOther()
{
    writeProject(QStringLiteral("ab"), projectText(QStringLiteral("h/ab"), 2, 2));
    writeProject(QStringLiteral("a"), projectText(QStringLiteral("h/a"), 1, 1));
    writeProject(QStringLiteral("b"), projectText(QStringLiteral("h/b"), 3, 0));
    writeList("ab\r\nb\r\na\r\n");

    ProjectStore store;
    QVERIFY(store.load());
    QCOMPARE(store.Lst_Projects, QStringList{"a"});
    QCOMPARE(store.Lst_Download_url, QStringList{"h/a"});
    QCOMPARE(store.Lst_Project2, QStringList{"ab"});
    QCOMPARE(store.Lst_Projects_En_Cours, QStringList{"b"});
    QCOMPARE(ProjectStore::indexOfName(QStringList{"ab", "b", "a"}, QStringLiteral("a")), 2);
    QCOMPARE(ProjectStore::indexOfName(QStringList{"ab", "b"}, QStringLiteral("a")), -1);

    QVERIFY(store.removeFromListFile(QStringLiteral("a")));
    QCOMPARE(listText(), QByteArray("ab\r\nb\r\n"));
    QVERIFY(store.removeFromListFile(QStringLiteral("b")));
    QCOMPARE(listText(), QByteArray("ab\r\n"));
    // Neither a part of a name nor a name the file does not hold removes anything.
    QVERIFY(!store.removeFromListFile(QStringLiteral("a")));
    QVERIFY(!store.removeFromListFile(QStringLiteral("abc")));
    QCOMPARE(listText(), QByteArray("ab\r\n"));

    // Only the first of two equal lines goes.
    writeList("x\r\nab\r\nx\r\n");
    QVERIFY(store.removeFromListFile(QStringLiteral("x")));
    QCOMPARE(listText(), QByteArray("ab\r\nx\r\n"));
}

void TestProjectStore::finishedRowsNewestFirst()
{
    writeProject(QStringLiteral("f1"), projectText(QStringLiteral("h/f1"), 10, 2));
    writeProject(QStringLiteral("f2"), projectText(QStringLiteral("h/f2"), 20, 2));
    writeList("f1\r\nf2\r\n");

    ProjectStore store;
    QVERIFY(store.load());
    QCOMPARE(store.Lst_Project2, (QStringList{"f1", "f2"}));
    QCOMPARE(rowNames(store.rowsFinished()), (QStringList{"f2", "f1"}));
    QCOMPARE(store.finishedIndexOfRow(1), 1);
    QCOMPARE(store.Lst_Download_Url2.at(store.finishedIndexOfRow(2)), store.rowsFinished().at(1).url);
}

void TestProjectStore::statusRewrite_data()
{
    const QByteArray head = projectText(QStringLiteral("h/f"), 5, 1).chopped(10); // without "status:1\r\n"
    QVERIFY(head.endsWith("Type:0\r\n"));
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("kept");
    QTest::newRow("one digit") << head + "status:1\r\n" << head;
    QTest::newRow("longer value") << head + "status:12345\r\n" << head;
    QTest::newRow("extra lines") << head + "status:0\r\njunk\r\nstatus:2\r\nmore" << head;
    QTest::newRow("no status line") << head << head;
    QTest::newRow("last line unended") << head.chopped(2) << head;
    // A destination folder that holds the text is kept whole.
    QByteArray odd = head;
    odd.replace("path:/tmp/received/", "path:/tmp/status:1/");
    QTest::newRow("status: inside a value") << odd + "status:1\r\n" << odd;
}

void TestProjectStore::statusRewrite()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, kept);
    ProjectStore store;
    for (int digit : {0, 2, 1}) {
        writeProject(QStringLiteral("p"), before);
        QVERIFY(store.rewriteStatus(QStringLiteral("p"), digit));
        const QByteArray after = TextFile::read(store.projectFilePath(QStringLiteral("p")));
        QCOMPARE(after, kept + "status:" + QByteArray::number(digit) + "\r\n");

        writeList("p\r\n");
        QVERIFY(store.load());
        const QStringList &group = digit == 1   ? store.Lst_Projects
                                   : digit == 0 ? store.Lst_Projects_En_Cours
                                                : store.Lst_Project2;
        QCOMPARE(group, QStringList{"p"});
        QCOMPARE(store.Recuperation, digit == 0);
    }
    // A project whose file is gone is not recreated by a status change.
    QVERIFY(!store.rewriteStatus(QStringLiteral("gone"), 0));
    QVERIFY(!QFile::exists(store.projectFilePath(QStringLiteral("gone"))));
}

void TestProjectStore::rewriteListFileOrder()
{
    writeProject(QStringLiteral("w1"), projectText(QStringLiteral("h/w1"), 1, 1));
    writeProject(QStringLiteral("f1"), projectText(QStringLiteral("h/f1"), 1, 2));
    writeProject(QStringLiteral("p"), projectText(QStringLiteral("h/p"), 1, 0));
    writeProject(QStringLiteral("w2"), projectText(QStringLiteral("h/w2"), 1, 1));
    writeProject(QStringLiteral("f2"), projectText(QStringLiteral("h/f2"), 1, 2));
    writeList("w1\r\nf1\r\np\r\nw2\r\nf2\r\n");

    ProjectStore store;
    QVERIFY(store.load());
    // A move in the queue, as the project menu does it.
    store.Lst_Projects.swapItemsAt(0, 1);
    store.Lst_Download_url.swapItemsAt(0, 1);
    store.Lst_Download_byte.swapItemsAt(0, 1);
    QVERIFY(store.rewriteListFile());
    QCOMPARE(listText(), QByteArray("f1\r\nf2\r\np\r\nw2\r\nw1\r\n"));
}

void TestProjectStore::listFileAppend()
{
    ProjectStore store;
    QVERIFY(QFile::remove(store.listFilePath()) || !QFile::exists(store.listFilePath()));
    QVERIFY(store.appendToListFile(QStringLiteral("one")));
    QCOMPARE(listText(), QByteArray("one\r\n"));
    QVERIFY(store.appendToListFile(QString::fromUtf8("déjà vu")));
    QCOMPARE(ProjectStore::namesOfListText(listText()),
             (QStringList{"one", QString::fromUtf8("déjà vu")}));

    // An unended last line was never a project: the new name becomes a line of its own.
    writeList("a\r\nb\r\nc");
    QVERIFY(store.appendToListFile(QStringLiteral("d")));
    QCOMPARE(listText(), QByteArray("a\r\nb\r\nd\r\n"));

    // Names that could not be a folder of the store are refused.
    for (const char *bad : {"", ".", "..", "x/y", "x\\y", "x\ty"})
        QVERIFY2(!store.appendToListFile(QString::fromLatin1(bad)), bad);
    QCOMPARE(listText(), QByteArray("a\r\nb\r\nd\r\n"));
}

void TestProjectStore::newProjectFileFromSettings()
{
    // The example project: host/d/f.zip, 1048576 bytes, pack size 2048000, the
    // default destination and the default colours.
    Settings::write(QStringLiteral("packsize"), qint64(2048000));
    const QString dir = ProgramFolder::path();
    const QByteArray expected = "url:host/d/f.zip\r\n"
                                "bytes:1048576\r\n"
                                "path:" + dir.toUtf8() + "/received/\r\n"
                                "packsize:2048000\r\n"
                                "showmodem:1\r\n"
                                "bar1back:16777215\r\n"
                                "bar1for:255\r\n"
                                "bar2back:16777215\r\n"
                                "bar2for:8421631\r\n"
                                "graphback:16777215\r\n"
                                "graphfor:8421631\r\n"
                                "graphmodem:0\r\n"
                                "Type:0\r\n"
                                "status:1\r\n";
    const ProjectRecord r = ProjectFile::fromSettings(QStringLiteral("host/d/f.zip"), 1048576, false);
    QCOMPARE(ProjectFile::build(r), expected);

    // Options changed by the user travel into the file; FTP sets the type.
    Settings::write(QStringLiteral("FilePath"), QStringLiteral("/data/dl/"));
    Settings::write(QStringLiteral("ShowModem"), qint64(0));
    Settings::write(QStringLiteral("secbarrefor"), qint64(65280));
    const QByteArray ftp = ProjectFile::build(
        ProjectFile::fromSettings(QStringLiteral("ftp.h/pub/big.iso"), 5000000000LL, true));
    QCOMPARE(ftp.count("\r\n"), 14);
    const ProjectRecord back = ProjectFile::parse(ftp);
    QCOMPARE(back.url, QStringLiteral("ftp.h/pub/big.iso"));
    QCOMPARE(back.bytes, 5000000000LL);
    QCOMPARE(back.path, QStringLiteral("/data/dl/"));
    QCOMPARE(back.showmodem, 0);
    QCOMPARE(back.bar2for, qint64(65280));
    QCOMPARE(back.type, 1);
}

void TestProjectStore::fieldsInFileOrder()
{
    const QByteArray text = "url:h/bytes:9/x\r\nbytes:42\r\npath:/p/\r\nstatus:0";
    int end = -1;
    QCOMPARE(ProjectFile::field(text, "url:", 0, &end), QStringLiteral("h/bytes:9/x"));
    QCOMPARE(end, int(text.indexOf("bytes:42")));
    // The first occurrence from the start sits inside the url; from after the url
    // line it is the real field.
    QCOMPARE(ProjectFile::field(text, "bytes:"), QStringLiteral("9/x"));
    QCOMPARE(ProjectFile::field(text, "bytes:", end), QStringLiteral("42"));
    // A value running to the end of the text, a key not there, an empty value.
    QCOMPARE(ProjectFile::field(text, "status:", 0, &end), QStringLiteral("0"));
    QCOMPARE(end, int(text.size()));
    QVERIFY(ProjectFile::field(text, "Type:", 0, &end).isNull());
    QCOMPARE(end, -1);
    const ProjectRecord r = ProjectFile::parse(text);
    QCOMPARE(r.url, QStringLiteral("h/bytes:9/x"));
    QCOMPARE(r.bytes, qint64(42));
    QCOMPARE(r.packsize, ProjectRecord().packsize); // missing: default kept
    QCOMPARE(r.status, 0);

    // The load takes the size after the url line too.
    writeProject(QStringLiteral("odd"), text);
    writeList("odd\r\n");
    ProjectStore store;
    QVERIFY(store.load());
    QCOMPARE(store.Lst_Download_Url_En_Cours, QStringList{"h/bytes:9/x"});
    QCOMPARE(store.Lst_Download_Byte_En_Cours, QStringList{"42"});
}

void TestProjectStore::addNewProjectAndNoTempFiles()
{
    ProjectStore store;
    QSignalSpy changed(&store, &ProjectStore::listsChanged);
    const QByteArray first = projectText(QStringLiteral("h/one.zip"), 100, 1);
    const QByteArray second = projectText(QStringLiteral("h/two.zip"), 200, 1);
    QVERIFY(store.addNewProject(QStringLiteral("one"), first, QStringLiteral("h/one.zip"), 100));
    QVERIFY(store.addNewProject(QStringLiteral("two"), second, QStringLiteral("h/two.zip"), 200));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(store.Lst_Projects, (QStringList{"one", "two"}));
    QCOMPARE(store.Lst_Download_byte, (QStringList{"100", "200"}));
    QCOMPARE(TextFile::read(store.projectFilePath(QStringLiteral("two"))), second);
    QCOMPARE(listText(), QByteArray("one\r\ntwo\r\n"));
    QVERIFY(!store.addNewProject(QStringLiteral("../out"), first, QStringLiteral("h/x"), 1));
    QCOMPARE(store.Lst_Projects.size(), 2);

    // Rewrites of every kind, then nothing but the store's own files remains.
    QVERIFY(store.rewriteStatus(QStringLiteral("one"), 0));
    QVERIFY(store.rewriteListFile());
    QVERIFY(store.writeProjectFile(QStringLiteral("two"), second));
    QVERIFY(store.removeFromListFile(QStringLiteral("two")));
    QVERIFY(store.appendToListFile(QStringLiteral("two")));
    QCOMPARE(filesBelow(m_home.path()),
             (QStringList{"projects/main.zov", "projects/one/project.zov",
                          "projects/two/project.zov"}));

    ProjectStore reloaded;
    QVERIFY(reloaded.load());
    QCOMPARE(reloaded.Lst_Projects_En_Cours, QStringList{"one"});
    QCOMPARE(reloaded.Lst_Projects, QStringList{"two"});
    QCOMPARE(reloaded.Lst_Download_url, QStringList{"h/two.zip"});
}

QTEST_GUILESS_MAIN(TestProjectStore)
#include "test_project_store.moc"
