#include "engine/pack_plan.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using SlotPack = PackPlan::SlotPack;
using PendingPack = PackPlan::PendingPack;

namespace {

// "3 4:250 9" -> packs 3, 4 (250 bytes stored) and 9.
QList<PendingPack> parsePending(const QString &text)
{
    QList<PendingPack> list;
    for (const QString &item : text.split(' ', Qt::SkipEmptyParts)) {
        const QStringList parts = item.split(':');
        list.append({parts[0].toLongLong(), parts.size() > 1 ? parts[1].toLongLong() : 0});
    }
    return list;
}

// The slots' runs as "first-end" (with "+stored" when the first pack holds
// bytes), "-" for an idle slot, one entry per slot.
QString describeRuns(const PackPlan &plan)
{
    QStringList runs;
    for (int slot = 1; slot <= plan.slotCount(); ++slot) {
        const auto pack = plan.currentPack(slot);
        if (!pack) {
            runs << QStringLiteral("-");
            continue;
        }
        QString run = QStringLiteral("%1-%2").arg(pack->number).arg(plan.runEnd(slot));
        if (pack->stored > 0)
            run += QStringLiteral("+%1").arg(pack->stored);
        runs << run;
    }
    return runs.join(' ');
}

// Checks that hold after every operation: runs are disjoint and hold no complete
// pack, the byte range of each run matches its packs, the counters agree.
void checkInvariants(const PackPlan &plan)
{
    QList<int> owner(plan.packCount(), 0);
    qint64 busy = 0;
    qint64 stored = plan.doneBytes();
    for (int slot = 1; slot <= plan.slotCount(); ++slot) {
        const auto pack = plan.currentPack(slot);
        if (!pack) {
            QCOMPARE(plan.runEnd(slot), -1);
            QCOMPARE(plan.runLastByte(slot), -1);
            continue;
        }
        ++busy;
        stored += pack->stored;
        QCOMPARE(pack->start, plan.packStart(pack->number));
        QCOMPARE(pack->size, plan.packSize(pack->number));
        QVERIFY(pack->stored >= 0 && pack->stored <= pack->size);
        QVERIFY(plan.runEnd(slot) > pack->number);
        QCOMPARE(plan.runFirstMissingByte(slot), pack->start + pack->stored);
        QCOMPARE(plan.runLastByte(slot), plan.packLastByte(plan.runEnd(slot) - 1));
        for (qint64 k = pack->number; k < plan.runEnd(slot); ++k) {
            QVERIFY2(owner[k] == 0, qPrintable(QStringLiteral("pack %1 in two runs").arg(k)));
            QVERIFY(!plan.isDone(k));
            owner[k] = slot;
        }
    }
    QCOMPARE(plan.unstartedCount(), plan.packCount() - plan.doneCount() - busy);
    QVERIFY(plan.storedBytes() >= stored);
}

// Drives the plan the way the slots do, in an order chosen by rng, until no slot
// finds anything: bytes arrive, packs complete, idle slots ask for more. Counts
// in fetched how often each pack was completed, and checks that packs reached
// within a run carry no stored bytes (a run's byte range is contiguous).
void runToEnd(PackPlan &plan, QRandomGenerator &rng, QList<int> &fetched)
{
    fetched = QList<int>(plan.packCount(), 0);
    const int slotTotal = plan.slotCount();
    for (int step = 0; step < 1000000; ++step) {
        checkInvariants(plan);
        if (QTest::currentTestFailed())
            return;
        const int slot = 1 + int(rng.bounded(slotTotal));
        const auto pack = plan.currentPack(slot);
        if (pack) {
            if (rng.bounded(3) == 0 && pack->stored < pack->size) {
                plan.addStored(slot, 1 + rng.bounded(pack->size - pack->stored));
                continue;
            }
            plan.setStored(slot, pack->size);
            const qint64 end = plan.runEnd(slot);
            const auto following = plan.packDone(slot);
            ++fetched[pack->number];
            QVERIFY(plan.isDone(pack->number));
            if (pack->number + 1 < end) {
                QVERIFY(following);
                QCOMPARE(following->number, pack->number + 1);
                QCOMPARE(following->stored, 0);
            } else {
                QVERIFY(!following);
            }
            continue;
        }
        int shortened = -1;
        const auto taken = plan.next(slot, &shortened);
        if (shortened > 0) {
            // Stolen: the thief's run is the upper part, the owner keeps its
            // current pack and stops where the thief begins.
            QVERIFY(taken);
            QCOMPARE(plan.runEnd(shortened), taken->number);
            QCOMPARE(taken->stored, 0);
            QVERIFY(plan.currentPack(shortened)->number < taken->number);
        }
        if (taken)
            continue;
        // Nothing for this slot: finished when every slot says so.
        bool anyWork = false;
        for (int s = 1; s <= slotTotal; ++s)
            anyWork = anyWork || plan.isBusy(s) || plan.next(s).has_value();
        if (!anyWork)
            return;
    }
    QFAIL("the plan never ran out of work");
}

} // namespace

class TestPackPlan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void geometry_data();
    void geometry();
    void startRuns_data();
    void startRuns();
    void steal_data();
    void steal();
    void stealTakesFromTheLargestRun();
    void releasedRunWaitsForTheNextIdleSlot();
    void resume_data();
    void resume();
    void randomCompletionOrders();

private:
    QTemporaryDir m_home;
};

void TestPackPlan::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("ZOV_KESTRA_HOME", m_home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (m_home.path() + "/config").toLocal8Bit());
}

void TestPackPlan::geometry_data()
{
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<qint64>("packSize");
    QTest::addColumn<qint64>("packs");
    QTest::addColumn<qint64>("last");

    QTest::newRow("one byte") << qint64(1) << qint64(512000) << qint64(1) << qint64(1);
    QTest::newRow("P - 1") << qint64(511999) << qint64(512000) << qint64(1) << qint64(511999);
    QTest::newRow("P") << qint64(512000) << qint64(512000) << qint64(1) << qint64(0);
    QTest::newRow("P + 1") << qint64(512001) << qint64(512000) << qint64(2) << qint64(1);
    QTest::newRow("2P + R") << qint64(1048576) << qint64(512000) << qint64(3) << qint64(24576);
    QTest::newRow("4P exactly") << qint64(2048000) << qint64(512000) << qint64(4) << qint64(0);
    QTest::newRow("10 of 3") << qint64(10) << qint64(3) << qint64(4) << qint64(1);
    QTest::newRow("beyond 4 GiB") << qint64(5368709127) << qint64(1024000) << qint64(5243)
                                  << qint64(901127);
    QTest::newRow("beyond 4 GiB, exact") << qint64(2048000) * 3000 << qint64(2048000)
                                         << qint64(3000) << qint64(0);
    QTest::newRow("empty file") << qint64(0) << qint64(512000) << qint64(0) << qint64(0);
}

void TestPackPlan::geometry()
{
    QFETCH(qint64, fileSize);
    QFETCH(qint64, packSize);
    QFETCH(qint64, packs);
    QFETCH(qint64, last);

    const PackPlan plan(fileSize, packSize);
    QCOMPARE(plan.packCount(), packs);
    QCOMPARE(plan.lastPackSize(), last);
    QCOMPARE(plan.fullPackCount(), last > 0 ? packs - 1 : packs);

    // Packs follow each other without gap or overlap and cover the file.
    qint64 offset = 0;
    for (qint64 k = 0; k < packs; ++k) {
        QCOMPARE(plan.packStart(k), offset);
        const qint64 expected = (k == packs - 1 && last > 0) ? last : packSize;
        QCOMPARE(plan.packSize(k), expected);
        QCOMPARE(plan.packLastByte(k), offset + expected - 1);
        offset += expected;
    }
    QCOMPARE(offset, fileSize);
    QCOMPARE(plan.packStart(packs), -1);
    QCOMPARE(plan.packSize(packs), 0);
    QCOMPARE(plan.packSize(-1), 0);

    // A fresh start hands the first pack to slot 1; an empty file is done at once.
    PackPlan started(fileSize, packSize);
    started.start(4);
    QCOMPARE(started.allDone(), packs == 0);
    QCOMPARE(started.isBusy(1), packs > 0);
}

void TestPackPlan::startRuns_data()
{
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<int>("slotTotal");
    QTest::addColumn<QString>("runs");
    QTest::addColumn<bool>("shortWaiting");

    // Pack size 1000 throughout.
    QTest::newRow("1 pack") << qint64(500) << 4 << "0-1 - - -" << false;
    QTest::newRow("3 packs") << qint64(2500) << 4 << "0-1 1-2 2-3 -" << false;
    QTest::newRow("4 packs") << qint64(4000) << 4 << "0-1 1-2 2-3 3-4" << false;
    QTest::newRow("5 packs") << qint64(4500) << 4 << "0-2 2-3 3-4 4-5" << false;
    QTest::newRow("400 packs") << qint64(399500) << 4 << "0-100 100-200 200-300 300-400" << true;
    QTest::newRow("400 packs, exact") << qint64(400000) << 4 << "0-100 100-200 200-300 300-400"
                                      << false;
    QTest::newRow("FTP, 2 packs") << qint64(2000) << 3 << "0-1 1-2 -" << false;
    QTest::newRow("FTP, 7 packs") << qint64(6500) << 3 << "0-3 3-5 5-7" << true;
    QTest::newRow("FTP, 400 packs") << qint64(400000) << 3 << "0-134 134-267 267-400" << false;
    QTest::newRow("one slot") << qint64(9999) << 1 << "0-10" << true;
}

void TestPackPlan::startRuns()
{
    QFETCH(qint64, fileSize);
    QFETCH(int, slotTotal);
    QFETCH(QString, runs);
    QFETCH(bool, shortWaiting);

    PackPlan plan(fileSize, 1000);
    plan.start(slotTotal);
    QCOMPARE(plan.slotCount(), slotTotal);
    QCOMPARE(describeRuns(plan), runs);
    checkInvariants(plan);
    QCOMPARE(plan.unstartedIncludesShortPack(), shortWaiting);
    QCOMPARE(plan.doneCount(), 0);
    QCOMPARE(plan.storedBytes(), 0);

    // An idle slot finds nothing while every run is on its last pack.
    for (int slot = 1; slot <= slotTotal; ++slot) {
        if (!plan.isBusy(slot) && plan.packCount() <= slotTotal)
            QVERIFY(!plan.next(slot));
    }
    QCOMPARE(describeRuns(plan), runs);
    QVERIFY(!plan.currentPack(0));
    QVERIFY(!plan.currentPack(slotTotal + 1));
}

void TestPackPlan::steal_data()
{
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<int>("ownerDone");   // packs slot 2 completes before slot 1 asks
    QTest::addColumn<QString>("after");   // runs after slot 1's next()

    // Two slots, pack size 1000: slot 1 owns packs 0-9, slot 2 packs 10-19 and
    // has 123 bytes of its current pack when slot 1 runs out of work.
    QTest::newRow("nothing started") << qint64(20000) << 0 << "15-20 10-15+123";
    QTest::newRow("three unstarted") << qint64(20000) << 6 << "18-20 16-18+123";
    QTest::newRow("two unstarted") << qint64(20000) << 7 << "19-20 17-19+123";
    QTest::newRow("one unstarted") << qint64(20000) << 8 << "19-20 18-19+123";
    QTest::newRow("owner on its last pack") << qint64(20000) << 9 << "- 19-20+123";
    QTest::newRow("short last pack") << qint64(19500) << 8 << "19-20 18-19+123";
}

void TestPackPlan::steal()
{
    QFETCH(qint64, fileSize);
    QFETCH(int, ownerDone);
    QFETCH(QString, after);

    PackPlan plan(fileSize, 1000);
    plan.start(2);
    QCOMPARE(describeRuns(plan), QStringLiteral("0-10 10-20"));
    for (int i = 0; i < ownerDone; ++i)
        QVERIFY(plan.packDone(2));
    plan.addStored(2, 123);
    while (plan.packDone(1)) {
    }
    const SlotPack ownerPack = *plan.currentPack(2);
    const bool shortWasWaiting = plan.unstartedIncludesShortPack();

    int shortened = -1;
    const auto taken = plan.next(1, &shortened);
    QCOMPARE(describeRuns(plan), after);
    checkInvariants(plan);
    // The owner's current pack is never taken, nor its stored bytes lost.
    QCOMPARE(plan.currentPack(2)->number, ownerPack.number);
    QCOMPARE(plan.currentPack(2)->stored, 123);
    QCOMPARE(plan.runLastByte(2), plan.packLastByte(plan.runEnd(2) - 1));
    QCOMPARE(shortened, taken ? 2 : 0);
    if (taken) {
        QCOMPARE(taken->stored, 0);
        QCOMPARE(plan.runLastByte(1), fileSize - 1);
        QCOMPARE(taken->size, plan.packSize(taken->number));
        // Once the short last pack is in a slot, it is no longer waiting.
        if (taken->number == plan.packCount() - 1)
            QCOMPARE(shortWasWaiting, plan.lastPackSize() > 0);
        QVERIFY(!plan.unstartedIncludesShortPack());
    }
    // A busy slot asking again keeps what it has.
    QCOMPARE(plan.next(2)->number, ownerPack.number);
    QCOMPARE(describeRuns(plan), after);
}

void TestPackPlan::stealTakesFromTheLargestRun()
{
    PackPlan plan(40000, 1000);
    plan.start(4);
    QCOMPARE(describeRuns(plan), QStringLiteral("0-10 10-20 20-30 30-40"));
    for (int i = 0; i < 3; ++i)
        plan.packDone(2);
    for (int i = 0; i < 5; ++i)
        plan.packDone(4);
    while (plan.packDone(1)) {
    }

    int shortened = 0;
    QCOMPARE(plan.next(1, &shortened)->number, 25);
    QCOMPARE(shortened, 3);
    QCOMPARE(describeRuns(plan), QStringLiteral("25-30 13-20 20-25 35-40"));
    QCOMPARE(plan.runLastByte(3), 24999);

    // Slot 2 has 6 unstarted packs now, more than slots 3 and 4 (4 each).
    while (plan.packDone(1)) {
    }
    QCOMPARE(plan.next(1, &shortened)->number, 17);
    QCOMPARE(shortened, 2);
    QCOMPARE(describeRuns(plan), QStringLiteral("17-20 13-17 20-25 35-40"));
    QCOMPARE(plan.doneCount(), 23);
    QCOMPARE(plan.unstartedCount(), 40 - 23 - 4);

    // Slots 3 and 4 tie with 4 unstarted packs: the lower slot gives.
    while (plan.packDone(1)) {
    }
    QCOMPARE(plan.next(1, &shortened)->number, 23);
    QCOMPARE(shortened, 3);
    QCOMPARE(describeRuns(plan), QStringLiteral("23-25 13-17 20-23 35-40"));
}

void TestPackPlan::releasedRunWaitsForTheNextIdleSlot()
{
    PackPlan plan(8000, 1000);
    plan.start(4);
    plan.packDone(2);
    plan.addStored(2, 400);
    plan.release(2);
    QCOMPARE(describeRuns(plan), QStringLiteral("0-2 - 4-6 6-8"));
    QCOMPARE(plan.storedBytes(), 1000 + 400);
    QCOMPARE(plan.unstartedCount(), 8 - 1 - 3);

    // The released pack goes to the next slot that asks, before any stealing,
    // with its stored bytes.
    plan.packDone(1);
    plan.packDone(1);
    int shortened = -1;
    const auto taken = plan.next(1, &shortened);
    QCOMPARE(shortened, 0);
    QCOMPARE(taken->number, 3);
    QCOMPARE(taken->stored, 400);
    QCOMPARE(plan.runFirstMissingByte(1), 3400);
    QCOMPARE(plan.runLastByte(1), 3999);
}

void TestPackPlan::resume_data()
{
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<int>("slotTotal");
    QTest::addColumn<QString>("pending");
    QTest::addColumn<QString>("runs");
    QTest::addColumn<qint64>("storedAtStart");

    // Pack size 1000 throughout.
    QTest::newRow("one partial pack left") << qint64(10000) << 4 << "7:300" << "7-8+300 - - -"
                                           << qint64(9300);
    QTest::newRow("paused runs") << qint64(40000) << 4
                                 << "5:100 6 7 8 9 17:999 18 19 25:1 26 27 28 29 35 36 37 38 39"
                                 << "5-10+100 17-20+999 25-30+1 35-40" << qint64(23100);
    QTest::newRow("partial pack opens a group") << qint64(10000) << 4 << "0 1 2 3:50 4 5"
                                                << "0-2 2-3 3-5+50 5-6" << qint64(4050);
    QTest::newRow("only complete packs registered") << qint64(9500) << 4 << "4 5 6 7 8 9"
                                                    << "4-6 6-8 8-9 9-10" << qint64(4000);
    QTest::newRow("more groups than slots") << qint64(20000) << 4 << "0 2 4 6 8 10 12:5"
                                            << "0-1 2-3 4-5 6-7" << qint64(13005);
    QTest::newRow("short last pack partial") << qint64(9500) << 4 << "9:200" << "9-10+200 - - -"
                                             << qint64(9200);
    QTest::newRow("stored beyond the pack") << qint64(5000) << 4 << "2:5000"
                                            << "2-3+1000 - - -" << qint64(5000);
    QTest::newRow("invalid and repeated numbers") << qint64(5000) << 4 << "3 3:700 -1 99 4"
                                                  << "3-4 4-5 - -" << qint64(3000);
    QTest::newRow("FTP, untouched and partial") << qint64(12000) << 3 << "1 2 3 4 5 6 7 8:10 9 10"
                                                << "1-5 5-8 8-11+10" << qint64(2010);
    QTest::newRow("nothing left") << qint64(6000) << 4 << "" << "- - - -" << qint64(6000);
}

void TestPackPlan::resume()
{
    QFETCH(qint64, fileSize);
    QFETCH(int, slotTotal);
    QFETCH(QString, pending);
    QFETCH(QString, runs);
    QFETCH(qint64, storedAtStart);

    PackPlan plan(fileSize, 1000);
    const QList<PendingPack> list = parsePending(pending);
    plan.start(slotTotal, list);
    QCOMPARE(describeRuns(plan), runs);
    QCOMPARE(plan.storedBytes(), storedAtStart);
    checkInvariants(plan);

    // Packs not listed count as complete and are never handed out again.
    QSet<qint64> listed;
    for (const PendingPack &p : list)
        listed.insert(p.number);
    for (qint64 k = 0; k < plan.packCount(); ++k)
        QCOMPARE(plan.isDone(k), !listed.contains(k));
    QCOMPARE(plan.unstartedIncludesShortPack(),
             plan.lastPackSize() > 0 && listed.contains(plan.packCount() - 1)
                 && !runs.contains(QStringLiteral("%1-").arg(plan.packCount() - 1)));

    QRandomGenerator rng(7);
    QList<int> fetched;
    runToEnd(plan, rng, fetched);
    if (QTest::currentTestFailed())
        return;
    for (qint64 k = 0; k < plan.packCount(); ++k)
        QCOMPARE(fetched[k], listed.contains(k) ? 1 : 0);
    QVERIFY(plan.allDone());
    QCOMPARE(plan.storedBytes(), fileSize);
}

void TestPackPlan::randomCompletionOrders()
{
    QRandomGenerator rng(20240601);
    const qint64 packSizes[] = {1, 7, 1000};
    const int slotCounts[] = {1, 3, 4};
    for (int round = 0; round < 600; ++round) {
        const qint64 packSize = packSizes[round % 3];
        const int slotTotal = slotCounts[(round / 3) % 3];
        const qint64 packs = rng.bounded(70);
        const qint64 fileSize = packs * packSize - (packs > 0 ? rng.bounded(packSize) : 0);
        const bool resumed = round % 2 == 1;
        const QString what = QStringLiteral("round %1: S=%2 P=%3 slots=%4 resumed=%5")
                                 .arg(round).arg(fileSize).arg(packSize).arg(slotTotal).arg(resumed);

        PackPlan plan(fileSize, packSize);
        QSet<qint64> listed;
        if (resumed) {
            QList<PendingPack> pending;
            for (qint64 k = 0; k < plan.packCount(); ++k) {
                if (rng.bounded(4) != 0) {
                    const qint64 stored = rng.bounded(3) == 0 ? rng.bounded(plan.packSize(k)) : 0;
                    pending.append({k, stored});
                    listed.insert(k);
                }
            }
            std::shuffle(pending.begin(), pending.end(), rng);
            plan.start(slotTotal, pending);
        } else {
            for (qint64 k = 0; k < plan.packCount(); ++k)
                listed.insert(k);
            plan.start(slotTotal);
        }

        QList<int> fetched;
        runToEnd(plan, rng, fetched);
        if (QTest::currentTestFailed())
            QFAIL(qPrintable(what));
        for (qint64 k = 0; k < plan.packCount(); ++k)
            QVERIFY2(fetched[k] == (listed.contains(k) ? 1 : 0), qPrintable(what));
        QVERIFY2(plan.allDone(), qPrintable(what));
        QCOMPARE(plan.donePacks().size(), plan.packCount());
        for (qint64 k = 0; k < plan.packCount(); ++k)
            QCOMPARE(plan.donePacks().at(k), k);
        QCOMPARE(plan.storedBytes(), fileSize);
        QCOMPARE(plan.unstartedCount(), 0);
    }
}

QTEST_GUILESS_MAIN(TestPackPlan)
#include "test_pack_plan.moc"
