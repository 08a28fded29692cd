// The project store: loading, the mapping of list-view rows, and the whole-file rewrites.
#include "core/program_folder.h"
#include "core/text_file.h"
#include "projects/project_file.h"
#include "projects/project_store.h"

#include <QtTest>

namespace {

QByteArray projectText(const QString &url, qint64 bytes, int status)
{
    return ProjectFile::build({.url = url, .bytes = bytes, .path = "/tmp/received/", .status = status});
}

// The three groups (waiting, in progress, finished): "name|url|bytes " entries, each group ended by "/ ".
QString lists(const ProjectStore &s)
{
    QString out;
    for (const QList<ProjectEntry> &group : {s.waiting(), s.inProgress(), s.finished()}) {
        for (const ProjectEntry &e : group)
            out += e.name + '|' + e.url + '|' + QString::number(e.bytes) + ' ';
        out += "/ ";
    }
    return out;
}

} // namespace

class TestProjectStore : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home;
    QString m_projects;

    void writeList(const QByteArray &text) { QVERIFY(TextFile::write(m_projects + "main.zov", text)); }
    QByteArray listText() const { return TextFile::read(m_projects + "main.zov"); }

private slots:
    void initTestCase()
    {
        qputenv("ZOV_KESTRA_HOME", m_home.path().toUtf8());
        m_projects = ProgramFolder::projectsDir();
    }

    void init()
    {
        QVERIFY(QDir(m_projects).removeRecursively() && QDir().mkpath(m_projects));
        // Projects "name" (url "h/name", size, status), "odd" with a later key in its url, "nofile" without project file.
        const std::tuple<QString, qint64, int> projects[] = {{"a", 1, 1}, {"b", 2, 1}, {"c", 3, 1},
                                                             {"ab", 12, 2}, {"busy", 3000000000LL, 0}, {"done", 20, 2}};
        for (const auto &[name, bytes, status] : projects)
            QVERIFY(QDir().mkpath(m_projects + name)
                    && TextFile::write(m_projects + name + "/project.zov", projectText("h/" + name, bytes, status)));
        QVERIFY(QDir().mkpath(m_projects + "nofile") && QDir().mkpath(m_projects + "odd")
                && TextFile::write(m_projects + "odd/project.zov", "url:h/bytes:9/x\r\nbytes:42\r\nstatus:1"));
    }

    // Catches a name without project file borrowing its neighbour's url or size, an unended last line or a bare LF taken
    // as a line, a field found inside another field's value, and a status sorted into the wrong group.
    void load()
    {
        const std::pair<QByteArray, QString> cases[] = {
            {"a\r\nb\r\nc", "a|h/a|1 b|h/b|2 / / / "}, {"a\nb\r\n", "/ / / "}, {QByteArray(), "/ / / "},
            {"a\r\ngone\r\nnofile\r\nc\r\n..\r\n\r\nb\r\n", "a|h/a|1 c|h/c|3 b|h/b|2 / / / "},
            {"odd\r\n", "odd|h/bytes:9/x|42 / / / "},
            {"ab\r\nbusy\r\nb\r\na\r\ndone\r\n", "b|h/b|2 a|h/a|1 / busy|h/busy|3000000000 / ab|h/ab|12 done|h/done|20 / "}};
        for (const auto &[list, expected] : cases) {
            QFile::remove(m_projects + "main.zov");
            if (!list.isNull())
                writeList(list);
            ProjectStore store;
            QCOMPARE(store.load(), !list.isNull());
            QCOMPARE(lists(store), expected);
            QCOMPARE(listText(), list);
        }
    }

    // Catches a status line left or doubled, "status:" inside a value taken for it, a status written for a missing project.
    void statusRewrite()
    {
        const QByteArray head = projectText("h/f", 5, 1).chopped(10); // no "status:1\r\n"
        QByteArray odd = head;
        odd.replace("path:/tmp/received/", "path:/tmp/status:1/");
        ProjectStore store;
        for (const auto &[before, kept] : {std::pair{head + "status:0\r\njunk\r\nstatus:2\r\nmore", head}, {head, head},
                                           {head.chopped(2), head}, {odd + "status:1\r\n", odd}}) {
            QVERIFY(store.writeProjectFile("p", before) && store.rewriteStatus("p", 2));
            QCOMPARE(TextFile::read(store.projectFilePath("p")), kept + "status:2\r\n");
        }
        QVERIFY(!store.rewriteStatus("gone", 0) && !QFile::exists(store.projectFilePath("gone")));
    }

    // Catches a wrong rewrite order, a project started, finished or put back in the wrong place of its new group or with
    // its file's status unchanged, a finish told for a missing project file, a name matched inside another, every
    // equal line removed, a name glued to an unended last line, names that leave the store accepted, temporary
    // files left behind; a list row mapped to the wrong entry (the project in progress is row 1 only while there is one).
    void listFileOperations()
    {
        writeList("a\r\nab\r\nbusy\r\nb\r\ndone\r\nc\r\n");
        ProjectStore store;
        QVERIFY(store.load() && store.waitingIndexOfMainRow(2) == 0 && store.moveWaiting(0, 1));
        QCOMPARE(listText(), QByteArray("ab\r\ndone\r\nbusy\r\nb\r\na\r\nc\r\n"));
        QVERIFY(store.finish("busy") && store.waitingIndexOfMainRow(1) == 0 && store.start("a") && store.start("c") && store.current()->name == "a");
        QVERIFY(store.requeue("c") && !store.requeue("b") && !store.finish("gone") && store.moveWaiting(0, 0));
        QCOMPARE(listText(), QByteArray("ab\r\ndone\r\nbusy\r\na\r\nc\r\nb\r\n"));
        for (const auto &[name, status] : {std::pair{"busy", 2}, {"a", 0}, {"c", 1}})
            QCOMPARE(ProjectFile::status(store.readProjectFile(name)), status);
        QVERIFY(store.removeFromListFile("a") && !store.removeFromListFile("abc"));
        QCOMPARE(listText(), QByteArray("ab\r\ndone\r\nbusy\r\nc\r\nb\r\n"));
        writeList("x\r\nab\r\nx\r\nc");
        QVERIFY(store.removeFromListFile("x") && store.appendToListFile(QString::fromUtf8("déjà")));
        for (const char *bad : {"", ".", "..", "x/y", "x\\y", "x\ty"})
            QVERIFY2(!store.appendToListFile(QString::fromLatin1(bad)), bad);
        QCOMPARE(listText(), QByteArray("ab\r\nx\r\nd\xc3\xa9j\xc3\xa0\r\n"));
        QCOMPARE(QDir(m_projects).entryList(QDir::Files | QDir::Hidden), QStringList{"main.zov"});
    }
};

QTEST_GUILESS_MAIN(TestProjectStore)
#include "test_project_store.moc"
