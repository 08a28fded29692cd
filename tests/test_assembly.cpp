// The finished file put in place, the pack register on disk, and a project's files (the work file, the register and
// its progress records, an earlier version's pack files) reconciled when it starts again after a pause, close or kill.
#include "engine/final_assembler.h"
#include "engine/pack_register.h"
#include "engine/project_resume.h"
#include "support/test_files.h"

#include <QtTest>

using TestFiles::randomBytes;

using Pending = QList<QPair<qint64, qint64>>;   // pack number, stored bytes
struct ResumeCase { qint64 work; QList<int> packs; QByteArray reg; QByteArray progress; Pending pending; QByteArray lines; };
Q_DECLARE_METATYPE(ResumeCase)

class TestAssembly : public QObject
{
    Q_OBJECT
private slots:
    void filesReconciled_data()
    {
        // Five packs of 100 bytes, the last one 50. Each case lays out files as a pause, close or kill leaves them: the
        // work file's length (-1: none; under 450: an earlier version's, holding the packs it joined), each pack file's
        // length (-1: none), the register, the progress records ("pack:bytes"); then what must be fetched, which lines stay.
        QTest::addColumn<ResumeCase>("c");
        const auto row = [](const char *name, const ResumeCase &c) { QTest::newRow(name) << c; };
        // Fault: a registered pack fetched again, or packs taken out of order.
        row("only :1 lines", {450, {-1, -1, -1, -1, -1}, "0:1 1:1", "", {{2, 0}, {3, 0}, {4, 0}}, "01"});
        // Fault: a kill made the bytes of the packs in progress count for nothing, an older record of a pack won over
        // a newer one, a pause note survived the start.
        row("progress records", {450, {-1, -1, -1, -1, -1}, "0:1 3:0", "1:30 3:70 3:40 9:5", {{1, 30}, {2, 0}, {3, 70}, {4, 0}}, "0"});
        row("record of a whole pack", {450, {-1, -1, -1, -1, -1}, "0:1", "4:50", {{1, 0}, {2, 0}, {3, 0}}, "04"});
        row("torn last register line", {450, {-1, -1, -1, -1, -1}, "0:1 torn", "", {{1, 0}, {2, 0}, {3, 0}, {4, 0}}, "0"});
        // Fault: packs the register calls complete but that are on disk nowhere were taken as stored.
        row("work file gone", {-1, {-1, -1, -1, -1, -1}, "0:1 1:1", "2:30", {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}}, ""});
        // Fault: the packs an earlier version left (joined at the work file's start, or in pack files) fetched again
        // or put at the wrong offset; a pack file longer than its pack trusted.
        row("earlier version's files", {200, {-1, -1, 100, 30, 50}, "0:1 1:1 2:1 4:1", "", {{3, 30}}, "0124"});
        row("earlier version, pack file too long", {-1, {101, 100, -1, -1, -1}, "1:1", "", {{0, 0}, {2, 0}, {3, 0}, {4, 0}}, "1"});
    }

    void filesReconciled()
    {
        QFETCH(ResumeCase, c);
        const auto &[work, packs, reg, progress, pending, lines] = c;
        QTemporaryDir dir;
        const FinalAssembler::Input in{dir.path() + "/", "f", dir.path() + "/f.bin", 5, 100, 50};
        const auto packPath = [&](int k) { return FinalAssembler::packFilePath(in.folder, in.baseName, k); };
        // Every stored byte is the file's byte at its place.
        const QByteArray file = randomBytes(450, 4);
        QVERIFY(work < 0 || TestFiles::write(FinalAssembler::workFilePath(in), file.left(work)));
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
        {
            PackRegister records(regPath);
            int n = 0;
            for (const QByteArray &r : progress.split(' '))
                QVERIFY(r.isEmpty() || records.noteProgress(n++, r.split(':').at(0).toLongLong(), r.split(':').at(1).toLongLong()));
        }

        const ProjectResume::State st = ProjectResume::reconcile(in, regPath);
        QVERIFY2(st.error.isEmpty(), qPrintable(st.error));
        Pending got;
        QHash<qint64, qint64> partial;
        for (const PackPlan::PendingPack &p : st.pending) {
            got.append({p.number, p.stored});
            if (p.stored > 0)
                partial.insert(p.number, p.stored);
        }
        QCOMPARE(got, pending);
        QByteArray expected;
        qint64 complete = 0;
        const QByteArray inPlace = TestFiles::read(FinalAssembler::workFilePath(in));
        for (char c : lines) {
            const int k = c - '0';
            expected += packPath(k).toUtf8() + ":1\r\n";
            complete += FinalAssembler::packLength(in, k);
            QCOMPARE(inPlace.mid(k * 100, FinalAssembler::packLength(in, k)), file.mid(k * 100, 100));
        }
        QCOMPARE(TestFiles::read(regPath), expected);
        QCOMPARE(st.completeBytes, complete);
        for (const auto &[k, stored] : pending)
            QCOMPARE(inPlace.mid(k * 100, stored), file.mid(k * 100, stored));
        // The partial packs stay recorded until a slot takes them up again; no pack file is left.
        QCOMPARE(PackRegister(regPath).progress(), partial);
        QCOMPARE(QDir(in.folder).entryList({"*(*).zov"}, QDir::Files), QStringList());
    }

    void finishedFilePlacedAndPacksNamed()
    {
        // Fault: anything in the way of the destination (a folder) replaced, or the work file lost, or no reason
        // given; a work file that is not whole moved.
        QTemporaryDir dir;
        const QByteArray data = randomBytes(2500, 1);
        const FinalAssembler::Input in{dir.path() + "/dl/", "setup", dir.path() + "/setup.exe", 3, 1000, 500};
        QVERIFY(QDir().mkpath(in.folder) && TestFiles::write(FinalAssembler::workFilePath(in), data.left(2499)));
        QString error;
        QVERIFY(!FinalAssembler::place(in, &error));
        QVERIFY(!QFile::exists(in.destination));
        QVERIFY(TestFiles::write(FinalAssembler::workFilePath(in), data));
        QVERIFY(QDir().mkpath(in.destination + "/inside"));
        QVERIFY(!FinalAssembler::place(in, &error));
        QVERIFY2(error.contains(in.destination) && error.contains("File exists"), qPrintable(error));
        QCOMPARE(TestFiles::read(FinalAssembler::workFilePath(in)), data);
        // Once the way is clear, the same call puts it in place.
        QVERIFY(QDir(in.destination).removeRecursively());
        QVERIFY(FinalAssembler::place(in));
        QCOMPARE(TestFiles::read(in.destination), data);
        // Fault: a 250-character file name (two bytes a character) gave pack names past the 255 bytes of a folder entry.
        const QString path = FinalAssembler::packFilePath(dir.path() + "/", QString(250, QChar(0x00e9)), 123456);
        QVERIFY(QFile::encodeName(QFileInfo(path).fileName()).size() <= 255 && path.endsWith("(123456).zov"));
        QFile f(path);
        QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(f.errorString()));
    }

    // Fault: a pack already listed (finished, or noted at an earlier pause) noted a second time, a note left after the
    // resume, a register that cannot be written taken as written.
    void registerPauseNotes()
    {
        QTemporaryDir dir;
        PackRegister reg(dir.filePath("download.zov"));
        QVERIFY(reg.append("/d/a(0).zov", '1'));
        QVERIFY(reg.append("/d/a(2).zov", '1'));
        QVERIFY(reg.addPauseNotes({"/d/a(2).zov", "/d/a(3).zov"}));
        QCOMPARE(TestFiles::read(reg.path()), QByteArray("/d/a(0).zov:1\r\n/d/a(2).zov:1\r\n/d/a(3).zov:0\r\n"));
        QVERIFY(reg.dropPauseNotes());
        // The next line goes into the register as rewritten, not the file it replaced.
        QVERIFY(reg.append("/d/a(3).zov", '1'));
        QCOMPARE(reg.lines(), QList<QByteArray>({"/d/a(0).zov:1", "/d/a(2).zov:1", "/d/a(3).zov:1"}));
        QString reason;
        PackRegister nowhere(dir.filePath("gone/download.zov"));
        QVERIFY(!nowhere.append("x", '1', &reason));
        QCOMPARE(reason, QString("No such file or directory"));
    }
};

QTEST_GUILESS_MAIN(TestAssembly)
#include "test_assembly.moc"
