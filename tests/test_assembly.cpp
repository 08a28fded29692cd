// Joining pack files into the finished file, the pack register on disk, and what a project's files say
// when it starts again after a pause, a clean close or a kill: the work file, the pack files and the
// register reconciled.
#include "engine/final_assembler.h"
#include "engine/pack_register.h"
#include "engine/project_resume.h"
#include "support/test_files.h"

#include <QtTest>

using TestFiles::randomBytes;

using Pending = QList<QPair<qint64, qint64>>;   // pack number, stored bytes
// Files as a pause, a close or a kill leaves them, and what must come of them.
struct ResumeCase { qint64 work; QList<int> packs; QByteArray reg; Pending pending; qint64 joined; QByteArray lines; };
Q_DECLARE_METATYPE(ResumeCase)

class TestAssembly : public QObject
{
    Q_OBJECT
private:
    static QString pack(const FinalAssembler::Input &in, qint64 k) { return FinalAssembler::packFilePath(in.folder, in.baseName, k); }
    // Cuts data into pack files the way the slots leave them (only the packs
    // from `from` on).
    static FinalAssembler::Input split(const QString &dir, const QByteArray &data, qint64 P, qint64 from = 0)
    {
        FinalAssembler::Input in;
        in.folder = dir + "/dl/";
        in.baseName = "setup";
        in.destination = dir + "/setup.exe";
        in.packSize = P;
        in.packCount = data.size() / P + (data.size() % P ? 1 : 0);
        in.lastSize = data.size() % P;
        QDir().mkpath(in.folder);
        for (qint64 k = from; k < in.packCount; ++k) {
            QFile f(pack(in, k));
            if (!f.open(QIODevice::WriteOnly))
                qFatal("cannot write pack");
            f.write(data.mid(k * P, P));
        }
        return in;
    }

private slots:
    void filesReconciled_data()
    {
        // Five packs of 100 bytes, the last one 50 (450 bytes). Each case lays
        // out files as a pause, a close or a kill leaves them: the work file's
        // length, each pack file's length (-1: none), the register's text; then
        // what must be fetched, what the work file keeps, which lines remain.
        QTest::addColumn<ResumeCase>("c");
        const auto row = [](const char *name, const ResumeCase &c) { QTest::newRow(name) << c; };
        // Fault: a registered pack fetched again, or packs taken out of order.
        row("only :1 lines", {0, {100, 100, -1, -1, -1}, "0:1 1:1", {{2, 0}, {3, 0}, {4, 0}}, 0, "01"});
        // Fault: the short last pack continued as if it were a full one.
        row("short last pack partial", {400, {-1, -1, -1, -1, 20}, "4:0", {{4, 20}}, 4, "0123"});
        // Fault: a kill (no ":0" note) made the bytes of the packs in
        // progress count for nothing, or a whole pack file count for nothing.
        row("missing register", {0, {100, 30, -1, -1, -1}, "", {{1, 30}, {2, 0}, {3, 0}, {4, 0}}, 0, "0"});
        row("torn last register line", {0, {100, 100, -1, 7, -1}, "0:1 torn", {{2, 0}, {3, 7}, {4, 0}}, 0, "01"});
        // Fault: a join cut halfway kept half a pack in the work file, or the
        // leftover of a joined pack was joined a second time.
        row("work file longer", {250, {100, -1, 100, -1, -1}, "0:1 1:1 2:1", {{3, 0}, {4, 0}}, 2, "012"});
        // Fault: packs the register calls complete but that are on disk nowhere
        // were taken as stored.
        row("work file shorter", {100, {-1, -1, -1, -1, -1}, "0:1 1:1 2:1 3:1", {{1, 0}, {2, 0}, {3, 0}, {4, 0}}, 1, "0"});
        // Fault: a pack file longer than its pack trusted.
        row("pack file too long", {0, {101, -1, -1, -1, 50}, "", {{0, 0}, {1, 0}, {2, 0}, {3, 0}}, 0, "4"});
        row("all joined, not moved yet", {450, {-1, -1, -1, -1, 50}, "", {}, 5, "01234"});
    }

    void filesReconciled()
    {
        QFETCH(ResumeCase, c);
        const auto &[work, packs, reg, pending, joined, lines] = c;
        QTemporaryDir dir;
        const FinalAssembler::Input in{dir.path() + "/", "f", dir.path() + "/f.bin", 5, 100, 50};
        const auto packPath = [&](int k) { return FinalAssembler::packFilePath(in.folder, in.baseName, k); };
        // Every stored byte is the file's byte at its place.
        const QByteArray file = randomBytes(450, 4);
        QVERIFY(work == 0 || TestFiles::write(FinalAssembler::workFilePath(in), file.left(work)));
        for (int k = 0; k < 5; ++k)
            QVERIFY(packs[k] < 0 || TestFiles::write(packPath(k), file.mid(k * 100, packs[k])));
        QByteArray regText;
        for (const QByteArray &entry : reg.split(' ')) {
            if (entry == "torn")
                regText += packPath(3).toUtf8() + ":";
            else if (!entry.isEmpty())
                regText += packPath(entry.left(1).toInt()).toUtf8() + entry.mid(1) + "\r\n";
        }
        const QString regPath = dir.path() + "/download.zov";
        QVERIFY(reg.isEmpty() || TestFiles::write(regPath, regText));

        const ProjectResume::State st = ProjectResume::reconcile(in, regPath);
        QVERIFY2(st.error.isEmpty(), qPrintable(st.error));
        Pending got;
        for (const PackPlan::PendingPack &p : st.pending)
            got.append({p.number, p.stored});
        QCOMPARE(got, pending);
        QCOMPARE(st.joined, joined);
        QCOMPARE(QFileInfo(FinalAssembler::workFilePath(in)).size(), FinalAssembler::joinedBytes(in, joined));
        QByteArray expected;
        qint64 complete = 0;
        for (char c : lines) {
            expected += packPath(c - '0').toUtf8() + ":1\r\n";
            complete += FinalAssembler::packLength(in, c - '0');
        }
        QCOMPARE(TestFiles::read(regPath), expected);
        QCOMPARE(st.completeBytes, complete);
        // Joined packs leave no file behind; a pack to fetch from its start has none.
        for (qint64 k = 0; k < joined; ++k)
            QVERIFY(!QFile::exists(packPath(int(k))));
        for (const auto &[k, stored] : pending)
            QCOMPARE(QFileInfo(packPath(int(k))).exists() ? QFileInfo(packPath(int(k))).size() : 0, stored);
    }

    void packsJoinedWhileDownloading_data()
    {
        QTest::addColumn<int>("joinedBefore");   // packs joined one by one first
        QTest::addColumn<int>("claimed");        // what the end is told is joined
        QTest::addColumn<QList<qint64>>("damaged"); // a short pack file, then a missing one
        QTest::addColumn<QList<qint64>>("refetch");
        QTest::newRow("none") << 0 << 0 << QList<qint64>() << QList<qint64>();
        QTest::newRow("all") << 6 << 6 << QList<qint64>() << QList<qint64>();
        // A count that disagrees with the work file never yields a wrong byte:
        // what cannot be trusted is fetched again.
        QTest::newRow("work file lost packs") << 2 << 4 << QList<qint64>() << QList<qint64>({2, 3});
        // A short or missing pack changes nothing: no file in place, the other packs kept.
        QTest::newRow("short and missing pack") << 0 << 0 << QList<qint64>({2, 4}) << QList<qint64>({2, 4});
    }

    void packsJoinedWhileDownloading()
    {
        QFETCH(int, joinedBefore);
        QFETCH(int, claimed);
        QFETCH(QList<qint64>, damaged);
        QFETCH(QList<qint64>, refetch);
        QTemporaryDir dir;
        const QByteArray data = randomBytes(5 * 1000 + 77, 1);
        FinalAssembler::Input in = split(dir.path(), data, 1000);
        if (!damaged.isEmpty())
            QVERIFY(QFile(pack(in, damaged[0])).resize(999) && QFile::remove(pack(in, damaged[1])));
        for (int k = 0; k < joinedBefore; ++k) {
            QVERIFY(FinalAssembler::joinNext(in, k));
            // Joined means deleted: the disk never holds the file twice.
            QVERIFY(!QFile::exists(pack(in, k)));
        }
        qint64 joined = claimed;
        QList<qint64> incomplete;
        QCOMPARE(FinalAssembler::assemble(in, &joined, &incomplete), refetch.isEmpty());
        QCOMPARE(incomplete, refetch);
        if (!refetch.isEmpty()) {
            QVERIFY(!QFile::exists(in.destination));
            QCOMPARE(TestFiles::read(pack(in, 5)), data.mid(5000));
            split(dir.path(), data, 1000, refetch.first());
            QVERIFY(FinalAssembler::assemble(in, &joined, &incomplete));
        }
        QCOMPARE(TestFiles::read(in.destination), data);
        QCOMPARE(QDir(in.folder).entryList(QDir::Files), QStringList());
    }

    void joinNextRefusesWhatItCannotTrust()
    {
        QTemporaryDir dir;
        FinalAssembler::Input in = split(dir.path(), randomBytes(3000, 1), 1000);
        QVERIFY(!FinalAssembler::joinNext(in, 1));   // work file does not hold pack 0
        QVERIFY(QFile(pack(in, 1)).resize(10));
        QVERIFY(FinalAssembler::joinNext(in, 0));
        QString error;
        QVERIFY(!FinalAssembler::joinNext(in, 1, &error));   // pack 1 is short: not a write failure
        QVERIFY(error.isEmpty());
        QCOMPARE(QFileInfo(FinalAssembler::workFilePath(in)).size(), qint64(1000));
    }

    void finishedFileThatCannotMoveStaysWhole()
    {
        // Anything in the way of the destination (here a folder) is never
        // replaced: the joined file stays in the download folder and the error
        // says why.
        QTemporaryDir dir;
        const QByteArray data = randomBytes(2500, 1);
        FinalAssembler::Input in = split(dir.path(), data, 1000);
        QVERIFY(QDir().mkpath(in.destination + "/inside"));
        qint64 joined = 0;
        QList<qint64> incomplete;
        QString error;
        QVERIFY(!FinalAssembler::assemble(in, &joined, &incomplete, &error));
        QVERIFY(incomplete.isEmpty());
        QVERIFY2(error.contains(in.destination) && error.contains("File exists"), qPrintable(error));
        QCOMPARE(TestFiles::read(FinalAssembler::workFilePath(in)), data);
        // Once the way is clear, the same call puts it in place.
        QVERIFY(QDir(in.destination).removeRecursively());
        QVERIFY(FinalAssembler::assemble(in, &joined, &incomplete));
        QCOMPARE(TestFiles::read(in.destination), data);
    }

    void packNamesFitAFolderEntry()
    {
        // A 250-character file name (two bytes a character) would give pack
        // names past 255 bytes, which no Linux file system takes.
        QTemporaryDir dir;
        const QString base(250, QChar(0x00e9));
        const QString path = FinalAssembler::packFilePath(dir.path() + "/", base, 123456);
        QVERIFY(QFile::encodeName(QFileInfo(path).fileName()).size() <= 255);
        QVERIFY(path.endsWith("(123456).zov"));
        QFile f(path);
        QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(f.errorString()));
    }

    // Fault: a pack already listed (finished, or noted at an earlier pause)
    // noted a second time, a note left after the resume, a register that
    // cannot be written taken as written.
    void registerPauseNotes()
    {
        QTemporaryDir dir;
        PackRegister reg(dir.filePath("download.zov"));
        QVERIFY(reg.append("/d/a(0).zov", '1'));
        QVERIFY(reg.append("/d/a(2).zov", '1'));
        QVERIFY(reg.addPauseNotes({"/d/a(2).zov", "/d/a(3).zov"}));
        QCOMPARE(TestFiles::read(reg.path()), QByteArray("/d/a(0).zov:1\r\n/d/a(2).zov:1\r\n/d/a(3).zov:0\r\n"));
        QVERIFY(reg.dropPauseNotes());
        QCOMPARE(reg.lines(), QList<QByteArray>({"/d/a(0).zov:1", "/d/a(2).zov:1"}));
        QString reason;
        PackRegister nowhere(dir.filePath("gone/download.zov"));
        QVERIFY(!nowhere.append("x", '1', &reason));
        QCOMPARE(reason, QString("No such file or directory"));
    }
};

QTEST_GUILESS_MAIN(TestAssembly)
#include "test_assembly.moc"
