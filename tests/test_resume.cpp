// What a project's files say when it starts again after a pause, a clean
// close or a kill: the work file, the pack files and the register reconciled.
#include "core/text_file.h"
#include "engine/project_resume.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

using Pending = QList<QPair<qint64, qint64>>;   // pack number, stored bytes
Q_DECLARE_METATYPE(Pending)

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
        QTest::addColumn<qint64>("work");
        QTest::addColumn<QList<int>>("packs");
        QTest::addColumn<QByteArray>("reg");
        QTest::addColumn<Pending>("pending");
        QTest::addColumn<qint64>("joined");
        QTest::addColumn<QByteArray>("lines");   // pack numbers registered ":1"
        // Fault: a registered pack fetched again, or packs taken out of order.
        QTest::newRow("only :1 lines") << 0LL << QList<int>{100, 100, -1, -1, -1} << QByteArray("0:1 1:1")
                                      << Pending{{2, 0}, {3, 0}, {4, 0}} << 0LL << QByteArray("01");
        // Fault: the short last pack continued as if it were a full one.
        QTest::newRow("short last pack partial") << 400LL << QList<int>{-1, -1, -1, -1, 20} << QByteArray("4:0")
                                                 << Pending{{4, 20}} << 4LL << QByteArray("0123");
        // Fault: a kill (no ":0" note) made the bytes of the packs in
        // progress count for nothing, or a whole pack file count for nothing.
        QTest::newRow("missing register") << 0LL << QList<int>{100, 30, -1, -1, -1} << QByteArray()
                                          << Pending{{1, 30}, {2, 0}, {3, 0}, {4, 0}} << 0LL << QByteArray("0");
        QTest::newRow("torn last register line") << 0LL << QList<int>{100, 100, -1, 7, -1} << QByteArray("0:1 torn")
                                                 << Pending{{2, 0}, {3, 7}, {4, 0}} << 0LL << QByteArray("01");
        // Fault: a join cut halfway kept half a pack in the work file, or the
        // leftover of a joined pack was joined a second time.
        QTest::newRow("work file longer") << 250LL << QList<int>{100, -1, 100, -1, -1} << QByteArray("0:1 1:1 2:1")
                                          << Pending{{3, 0}, {4, 0}} << 2LL << QByteArray("012");
        // Fault: packs the register calls complete but that are on disk nowhere
        // were taken as stored.
        QTest::newRow("work file shorter") << 100LL << QList<int>{-1, -1, -1, -1, -1} << QByteArray("0:1 1:1 2:1 3:1")
                                           << Pending{{1, 0}, {2, 0}, {3, 0}, {4, 0}} << 1LL << QByteArray("0");
        // Fault: a pack file longer than its pack trusted.
        QTest::newRow("pack file too long") << 0LL << QList<int>{101, -1, -1, -1, 50} << QByteArray()
                                            << Pending{{0, 0}, {1, 0}, {2, 0}, {3, 0}} << 0LL << QByteArray("4");
        QTest::newRow("all joined, not moved yet") << 450LL << QList<int>{-1, -1, -1, -1, 50} << QByteArray()
                                                   << Pending{} << 5LL << QByteArray("01234");
    }

    void filesReconciled()
    {
        QFETCH(qint64, work);
        QFETCH(QList<int>, packs);
        QFETCH(QByteArray, reg);
        QFETCH(Pending, pending);
        QFETCH(qint64, joined);
        QFETCH(QByteArray, lines);
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
