// What a project's files say when it starts again after a pause, a clean
// close or a kill: the work file, the pack files and the register reconciled.
#include "core/text_file.h"
#include "engine/project_resume.h"

#include <QtTest>

using Pending = QList<QPair<qint64, qint64>>;   // pack number, stored bytes
// Files as a pause, a close or a kill leaves them, and what must come of them.
struct ResumeCase { qint64 work; QList<int> packs; QByteArray reg; Pending pending; qint64 joined; QByteArray lines; };
Q_DECLARE_METATYPE(ResumeCase)

class TestResume : public QObject
{
    Q_OBJECT
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
        // Byte i of the file is i % 251: every stored byte says where it belongs.
        const auto bytes = [](qint64 from, qint64 size) {
            QByteArray b(size, 0);
            for (qint64 i = 0; i < size; ++i)
                b[i] = char((from + i) % 251);
            return b;
        };
        QVERIFY(work == 0 || TextFile::write(FinalAssembler::workFilePath(in), bytes(0, work)));
        for (int k = 0; k < 5; ++k)
            QVERIFY(packs[k] < 0 || TextFile::write(packPath(k), bytes(k * 100, packs[k])));
        QByteArray regText;
        for (const QByteArray &entry : reg.split(' ')) {
            if (entry == "torn")
                regText += packPath(3).toUtf8() + ":";
            else if (!entry.isEmpty())
                regText += packPath(entry.left(1).toInt()).toUtf8() + entry.mid(1) + "\r\n";
        }
        const QString regPath = dir.path() + "/download.zov";
        QVERIFY(reg.isEmpty() || TextFile::write(regPath, regText));

        const ProjectResume::State st = ProjectResume::reconcile(in, regPath);
        QVERIFY2(st.error.isEmpty(), qPrintable(st.error));
        Pending got;
        for (const PackPlan::PendingPack &p : st.pending)
            got.append({p.number, p.stored});
        QCOMPARE(got, pending);
        QCOMPARE(st.joined, joined);
        QCOMPARE(TextFile::read(FinalAssembler::workFilePath(in)).size(), FinalAssembler::joinedBytes(in, joined));
        QByteArray expected;
        qint64 complete = 0;
        for (char c : lines) {
            expected += packPath(c - '0').toUtf8() + ":1\r\n";
            complete += FinalAssembler::packLength(in, c - '0');
        }
        QCOMPARE(TextFile::read(regPath), expected);
        QCOMPARE(st.completeBytes, complete);
        // Joined packs leave no file behind; a pack to fetch from its start has none.
        for (qint64 k = 0; k < joined; ++k)
            QVERIFY(!QFile::exists(packPath(int(k))));
        for (const auto &[k, stored] : pending)
            QCOMPARE(QFileInfo(packPath(int(k))).exists() ? QFileInfo(packPath(int(k))).size() : 0, stored);
    }
};

QTEST_GUILESS_MAIN(TestResume)
#include "test_resume.moc"
