#include "engine/pack_plan.h"

#include <QtTest>

#include <algorithm>
#include <climits>

using PendingPack = PackPlan::PendingPack;

// One case of TestPackPlan::plan(), described there.
struct PlanCase
{
    qint64 fileSize; int slotTotal; QString pending, script, runs; int shortened; qint64 stored; bool shortWaiting;
};
Q_DECLARE_METATYPE(PlanCase)

namespace {

// The slots' runs as "first-end" (with "+stored" when the first pack holds
// bytes), "-" for an idle slot, one entry per slot.
QString describeRuns(const PackPlan &plan)
{
    QStringList runs;
    for (int slot = 1; slot <= plan.slotCount(); ++slot) {
        const auto pack = plan.currentPack(slot);
        runs << (!pack ? QStringLiteral("-")
                       : QStringLiteral("%1-%2").arg(pack->number).arg(plan.runEnd(slot))
                             + (pack->stored > 0 ? QStringLiteral("+%1").arg(pack->stored) : QString()));
    }
    return runs.join(' ');
}

// Runs are disjoint and hold no complete pack, each run's byte range matches its
// packs, the counters agree.
void checkInvariants(const PackPlan &plan)
{
    QList<int> owner(plan.packCount(), 0);
    qint64 busy = 0;
    qint64 stored = plan.doneBytes();
    for (int slot = 1; slot <= plan.slotCount(); ++slot) {
        const auto pack = plan.currentPack(slot);
        if (!pack) {
            QVERIFY(plan.runEnd(slot) == -1 && plan.runLastByte(slot) == -1);
            continue;
        }
        ++busy;
        stored += pack->stored;
        QVERIFY(pack->start == plan.packStart(pack->number) && pack->size == plan.packSize(pack->number));
        QVERIFY(pack->stored >= 0 && pack->stored <= pack->size);
        QVERIFY(plan.runEnd(slot) > pack->number);
        QCOMPARE(plan.runFirstMissingByte(slot), pack->start + pack->stored);
        QCOMPARE(plan.runLastByte(slot), plan.packLastByte(plan.runEnd(slot) - 1));
        for (qint64 k = pack->number; k < plan.runEnd(slot); ++k) {
            QVERIFY2(owner[k] == 0 && !plan.isDone(k), qPrintable(QString::number(k)));
            owner[k] = slot;
        }
    }
    QCOMPARE(plan.unstartedCount(), plan.packCount() - plan.doneCount() - busy);
    QVERIFY(plan.storedBytes() >= stored);
}

// Drives the plan as the slots do, in an order chosen by rng, until no slot finds
// anything, then checks that each listed pack (listed[k] == 1) was completed
// exactly once and no other pack was fetched.
void runToEnd(PackPlan &plan, QRandomGenerator &rng, const QList<int> &listed)
{
    QList<int> fetched(plan.packCount(), 0);
    for (int step = 0;; ++step) {
        checkInvariants(plan);
        if (QTest::currentTestFailed())
            return;
        if (step == 1000000)
            QFAIL("the plan never ran out of work");
        const int slot = 1 + int(rng.bounded(plan.slotCount()));
        if (const auto pack = plan.currentPack(slot)) {
            if (rng.bounded(3) == 0 && pack->stored < pack->size) {
                plan.addStored(slot, 1 + rng.bounded(pack->size - pack->stored));
                continue;
            }
            plan.setStored(slot, pack->size);
            const qint64 end = plan.runEnd(slot);
            const auto following = plan.packDone(slot);
            ++fetched[pack->number];
            // The next pack of a run starts empty: a run's byte range is contiguous.
            QCOMPARE(following.has_value(), pack->number + 1 < end);
            if (following)
                QVERIFY(following->number == pack->number + 1 && following->stored == 0);
            continue;
        }
        bool anyWork = plan.next(slot).has_value();
        for (int s = 1; s <= plan.slotCount() && !anyWork; ++s)
            anyWork = plan.isBusy(s) || plan.next(s).has_value();
        if (!anyWork)
            break;
    }
    QCOMPARE(fetched, listed);
    QVERIFY(plan.allDone());
    QCOMPARE(plan.donePacks().size(), plan.packCount());
    QCOMPARE(plan.storedBytes(), plan.fileSize());
}

} // namespace

class TestPackPlan : public QObject
{
    Q_OBJECT

private slots:
    void geometryBeyond4GiB()
    {
        // Sizes and offsets are 64-bit: the last of 10486 packs of a 5 GiB file.
        PackPlan plan(5368709127, 512000);
        QVERIFY(plan.packCount() == 10486 && plan.lastPackSize() == 389127);
        QCOMPARE(plan.packStart(10485), qint64(5368320000));
        QCOMPARE(plan.packLastByte(10485), qint64(5368709126));
    }

    // A fresh start ("*") or a resumed one ("3 4:250": packs 3 and 4 pending, 250 bytes
    // of 4 stored), then a script: "2d7" slot 2 completes 7 packs ("d*": until idle),
    // "2+123" it stores 123 bytes, "2r" it releases its run, "2n" it asks for work,
    // "2c17" its requests reach pack 17, "2u" its connection ended.
    // Expected: the runs, the owner of the run split by the last "n" of an idle slot
    // (-1 none, 0 nothing split), the bytes present, whether the short last pack
    // waits unstarted. Pack size 1000 throughout.
    void plan_data()
    {
        QTest::addColumn<PlanCase>("c");
        const auto row = [](const char *name, const PlanCase &c) { QTest::newRow(name) << c; };
        // Runs at start: the packs split evenly, the earlier runs one pack longer; an
        // idle slot finds nothing while every run is on its last pack.
        row("empty file: done at once", {0, 4, "*", "1n", "- - - -", 0, 0, false});
        row("1 pack", {500, 4, "*", "2n 4n", "0-1 - - -", 0, 0, false});
        row("3 packs", {2500, 4, "*", "4n", "0-1 1-2 2-3 -", 0, 0, false});
        row("4 packs", {4000, 4, "*", "", "0-1 1-2 2-3 3-4", -1, 0, false});
        row("5 packs", {4500, 4, "*", "", "0-2 2-3 3-4 4-5", -1, 0, false});
        row("400 packs", {399500, 4, "*", "", "0-100 100-200 200-300 300-400", -1, 0, true});
        // Resumed: a partly stored pack opens a group; extra slots go to the group with
        // the most packs per slot; groups beyond the slots wait.
        row("paused runs", {40000, 4, "5:100 6 7 8 9 17:999 18 19 25:1 26 27 28 29 35 36 37 38 39", "",
            "5-10+100 17-20+999 25-30+1 35-40", -1, 23100, false});
        row("partial pack opens a group", {10000, 4, "0 1 2 3:50 4 5", "", "0-2 2-3 3-5+50 5-6", -1, 4050, false});
        row("complete packs only, short last", {9500, 4, "4 5 6 7 8 9", "", "4-6 6-8 8-9 9-10", -1, 4000, false});
        row("more groups than slots", {20000, 4, "0 2 4 6 8 10 12:5", "", "0-1 2-3 4-5 6-7", -1, 13005, false});
        row("short last pack partial", {9500, 4, "9:200", "2n", "9-10+200 - - -", 0, 9200, false});
        row("stored beyond the pack", {5000, 4, "2:5000", "", "2-3+1000 - - -", -1, 5000, false});
        row("invalid and repeated numbers", {5000, 4, "3 3:700 -1 99 4", "", "3-4 4-5 - -", -1, 3000, false});
        row("nothing left", {6000, 4, "", "1n", "- - - -", 0, 6000, false});
        // Stealing, two slots on 20 packs: the thief takes the upper half of the
        // unstarted packs, rounded up; the owner keeps its current pack and bytes, even
        // when asking again.
        row("nine unstarted", {20000, 2, "*", "2+123 1d* 1n 2n", "15-20 10-15+123", 2, 10123, false});
        row("two unstarted", {20000, 2, "*", "2d7 2+123 1d* 1n 2n", "19-20 17-19+123", 2, 17123, false});
        row("one unstarted", {20000, 2, "*", "2d8 2+123 1d* 1n 2n", "19-20 18-19+123", 2, 18123, false});
        row("owner on its last pack", {20000, 2, "*", "2d9 2+123 1d* 1n 2n", "- 19-20+123", 0, 19123, false});
        row("short pack unstarted", {19500, 2, "*", "2d8 2+123 1d*", "- 18-20+123", -1, 18123, true});
        row("short pack stolen", {19500, 2, "*", "2d8 2+123 1d* 1n 2n", "19-20 18-19+123", 2, 18123, false});
        // Four slots: the run with the most unstarted packs gives; on a tie the lower slot.
        row("largest run", {40000, 4, "*", "2d3 4d5 1d* 1n", "25-30 13-20 20-25 35-40", 3, 18000, false});
        row("largest run, tie", {40000, 4, "*", "2d3 4d5 1d* 1n 1d* 1n 1d* 1n", "23-25 13-17 20-23 35-40", 3, 26000, false});
        // Packs a request in flight reaches are never taken: only those beyond.
        row("committed, rest taken", {20000, 2, "*", "2c17 1d* 1n", "19-20 10-19", 2, 10000, false});
        row("committed to its end", {20000, 2, "*", "2c19 1d* 1n", "- 10-20", 0, 10000, false});
        row("connection ended, free again", {20000, 2, "*", "2c19 2u 1d* 1n", "15-20 10-15", 2, 10000, false});
        // A released run waits, with its stored bytes, for the next slot that asks,
        // before any stealing.
        row("released", {8000, 4, "*", "2d1 2+400 2r", "0-2 - 4-6 6-8", -1, 1400, false});
        // The probe's answer brings packs [0, n) to slot 1 ("*>n"): they are all
        // its own, or another slot would ask for bytes already on their way.
        row("answer within slot 1's share", {40000, 4, "*>3", "", "0-10 10-20 20-30 30-40", -1, 0, false});
        row("answer beyond slot 1's share", {10000, 4, "*>5", "", "0-5 5-7 7-9 9-10", -1, 0, false});
        row("answer brings the whole file", {3000, 4, "*>5", "", "0-3 - - -", -1, 0, false});
        row("released, taken", {8000, 4, "*", "2d1 2+400 2r 1d* 1n", "3-4+400 - 4-6 6-8", 0, 3400, false});
    }

    void plan()
    {
        QFETCH(PlanCase, c);
        PackPlan plan(c.fileSize, 1000);
        QList<PendingPack> list;
        for (const QString &item : c.pending.split(' ', Qt::SkipEmptyParts)) {
            const QStringList parts = item.split(':');
            list.append({parts[0].toLongLong(), parts.value(1).toLongLong()});
        }
        if (c.pending == "*")
            plan.start(c.slotTotal);
        else if (c.pending.startsWith("*>"))
            plan.start(c.slotTotal, [&] { QList<PendingPack> all; for (qint64 k = 0; k < plan.packCount(); ++k) all.append({k, 0}); return all; }(),
                       c.pending.mid(2).toLongLong());
        else
            plan.start(c.slotTotal, list);
        QCOMPARE(plan.slotCount(), c.slotTotal);
        QVERIFY(!plan.currentPack(0) && !plan.currentPack(c.slotTotal + 1));
        int split = -1;
        for (const QString &op : c.script.split(' ', Qt::SkipEmptyParts)) {
            const int slot = op.left(1).toInt();
            const QString what = op.mid(1);
            if (what.startsWith('d')) {
                for (int i = what == "d*" ? INT_MAX : what.mid(1).toInt(); i > 0 && plan.packDone(slot); --i) {
                }
            } else if (what.startsWith('+')) {
                plan.addStored(slot, what.mid(1).toLongLong());
            } else if (what == "r") {
                plan.release(slot);
            } else if (what.startsWith('c')) {
                plan.commitThrough(slot, what.mid(1).toLongLong());
            } else if (what == "u") {
                plan.uncommit(slot);
            } else {
                int owner = -1;
                const bool idle = !plan.isBusy(slot), given = plan.next(slot, &owner).has_value();
                QCOMPARE(given, plan.isBusy(slot));
                split = idle ? owner : split;
            }
            checkInvariants(plan);
        }
        QCOMPARE(describeRuns(plan), c.runs);
        QCOMPARE(split, c.shortened);
        QCOMPARE(plan.storedBytes(), c.stored);
        QCOMPARE(plan.unstartedIncludesShortPack(), c.shortWaiting);

        // Whatever is not complete now is fetched exactly once more, nothing else.
        QList<int> listed;
        for (qint64 k = 0; k < plan.packCount(); ++k)
            listed << (plan.isDone(k) ? 0 : 1);
        QRandomGenerator rng(7);
        runToEnd(plan, rng, listed);
    }
};

QTEST_GUILESS_MAIN(TestPackPlan)
#include "test_pack_plan.moc"
