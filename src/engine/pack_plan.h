#pragma once
#include <QBitArray>
#include <QList>
#include <QtGlobal>

#include <algorithm>
#include <optional>

// The pack plan of the running project: where each pack lies in the file, which
// packs are complete, and which slot fetches which packs.
//
// Geometry. S is the file size and P the pack size. F = S / P (whole part),
// R = S - P * F, N = F + 1 when R > 0, otherwise N = F. Pack k (0 <= k < N) starts
// at byte k * P and is P bytes long, except the last one when R > 0, which is R
// bytes long (the "short last pack").
//
// Runs. A slot does not fetch single packs: it owns a run, a range of consecutive
// pack numbers [current, end), and fetches them over one request, pack after pack.
// The first pack of the run is its current pack; the rest are not started yet.
// Only the first pack of a run can already hold bytes (a partly fetched pack of a
// resumed project), so the bytes a slot asks for are always one contiguous range:
// from runFirstMissingByte() to runLastByte().
//
// Dividing the work at start. The packs still to fetch are sorted and cut into
// groups: a group is a stretch of consecutive pack numbers, and a new group also
// begins at every partly fetched pack (its stored bytes are not fetched again, so
// it cannot sit in the middle of a range). When there are at least as many groups
// as slots, slot 1 gets the first group, slot 2 the next, and so on; the groups
// left over wait in a pool. When there are fewer groups than slots, every group
// gets one slot and each further slot goes to the group with the most packs per
// slot (ties: the earlier group), as long as it has more packs than slots; each
// group is then divided evenly between its slots (the earlier parts one pack
// longer when it does not divide), and the parts are given to the slots in file
// order. A fresh project is one group, so its packs are split evenly: slot 1 the
// first part of the file, slot 2 the next, ...; with fewer packs than slots the
// extra slots stay idle.
//
// Committed packs. A slot asks for its run ahead of the bytes it has, in bounded
// requests; it tells the plan (commitThrough) which packs its requests reach, and
// those are its to finish: nobody takes them, so no request in flight is ever
// cut. When its connection ends, what it asked for is free again (uncommit).
//
// More work for an idle slot (next()). First the pool: the lowest-numbered waiting
// group is taken whole. Otherwise the slot takes the upper part of the run that
// has the most packs nobody has started nor asked for (a run with current c, end e
// and requests reaching up to pack q - 1 has u = e - max(c + 1, q) of them; ties:
// the lower slot number): the thief gets the upper ceil(u / 2) packs, so even a single unstarted pack moves to an idle slot
// instead of waiting behind its owner. The owner keeps its current pack and the
// lower part; its run end moves to the new boundary and it must stop there. When
// no run has an unstarted pack, the slot stays idle.
//
// Every pack still to fetch is always in exactly one place: the current pack of
// one slot, the rest of one run, or the pool. No pack is given to two slots, and
// every pack is given out until it is complete. All sizes, offsets and pack
// numbers are 64-bit.
class PackPlan
{
public:
    // A pack as a slot fetches it. stored = bytes of it already stored (the
    // next write position is stored + 1, counted from 1).
    struct SlotPack
    {
        qint64 number = -1;
        qint64 start = 0;
        qint64 size = 0;
        qint64 stored = 0;
    };

    // A pack still to fetch when a project resumes: its number and the bytes
    // already stored (0 for an untouched pack).
    struct PendingPack
    {
        qint64 number = 0;
        qint64 stored = 0;
    };

    // An empty plan (no pack). A file size <= 0 or a pack size <= 0 also gives a
    // plan without packs, except UnknownSize.
    PackPlan() = default;
    PackPlan(qint64 fileSize, qint64 packSize);

    // The size of a file whose server did not say it (an answer without a
    // length). Its plan is one pack, fetched by slot 1 as one stream, whose end
    // is the end of the server's answer; learnSize() then gives the plan the
    // file's real size.
    static constexpr qint64 UnknownSize = -1;
    bool sizeKnown() const { return !m_streaming; }
    // The stream ended after size bytes: the one pack is that long (a file of
    // 0 bytes has no pack, and the plan is done).
    void learnSize(qint64 size);

    // UnknownSize while the size is not known.
    qint64 fileSize() const { return m_streaming ? UnknownSize : m_fileSize; }
    qint64 packSize() const { return m_packSize; }
    qint64 packCount() const { return m_packCount; }       // N
    qint64 fullPackCount() const { return m_fullPacks; }   // F
    qint64 lastPackSize() const { return m_lastSize; }     // R, 0 when S is a multiple of P
    // Offset of pack k's first byte, or -1 when there is no pack k.
    qint64 packStart(qint64 k) const;
    // Length of pack k, or 0 when there is no pack k.
    qint64 packSize(qint64 k) const;
    // Offset of pack k's last byte, or -1 when there is no pack k.
    qint64 packLastByte(qint64 k) const;

    // Fresh start: every pack is to fetch. A slot count below 1 counts as 1.
    void start(int slotTotal);
    // Resumed start: only the listed packs are to fetch; every pack not listed
    // counts as complete. Numbers outside 0..N-1 and repeated numbers (after the
    // first) are ignored; stored bytes are kept within 0..packSize(k). A pack whose
    // stored bytes already fill it is still handed out, so that its slot records
    // it complete without fetching anything. firstRunPacks > 0: an answer for
    // packs [0, firstRunPacks) is already on its way to slot 1 (the probe's),
    // so slot 1's run holds at least those when pack 0 is untouched; if its
    // share would be shorter, it holds just those and the others share the rest.
    void start(int slotTotal, const QList<PendingPack> &pending, qint64 firstRunPacks = 0);

    int slotCount() const { return int(m_slots.size()); }

    // The slot's current pack, or nothing when the slot is idle. Slots are
    // numbered from 1.
    std::optional<SlotPack> currentPack(int slot) const;
    bool isBusy(int slot) const { return currentPack(slot).has_value(); }
    // End of the slot's run (pack number one past its last pack); -1 when idle.
    qint64 runEnd(int slot) const;
    // First byte still missing in the run (current pack start + stored bytes) and
    // the run's last byte, both as file offsets: the byte range to ask for.
    // -1 when idle.
    qint64 runFirstMissingByte(int slot) const;
    qint64 runLastByte(int slot) const;

    // Bytes in the current pack's file, kept within 0..pack size. Nothing happens
    // for an idle slot.
    void setStored(int slot, qint64 bytes);
    void addStored(int slot, qint64 bytes);

    // The current pack is complete: it is counted done and the slot moves on to
    // the next pack of its run, which it returns (nothing when the run is over and
    // the slot is idle).
    std::optional<SlotPack> packDone(int slot);
    // Work for a slot. A busy slot gets its current pack back unchanged. An idle
    // slot takes a waiting group or a stolen part of another run as described
    // above and gets its new current pack, or nothing when nothing is left to
    // start. When a run was split, *shortenedSlot is set to its owner, whose
    // runEnd()/runLastByte() have moved; otherwise it is set to 0.
    std::optional<SlotPack> next(int slot, int *shortenedSlot = nullptr);
    // The slot's requests reach pack `pack` (inclusive) of its run; packs up to
    // there are no longer taken by next(). uncommit(): its connection ended.
    void commitThrough(int slot, qint64 pack);
    void uncommit(int slot);

    // The slot gives its run back (a connection given up for good): its current
    // pack, stored bytes kept, and the rest of its run wait in the pool for the
    // next idle slot. The slot is idle afterwards.
    void release(int slot);

    // Packs that are neither complete nor the current pack of a slot: what is
    // still to hand out (the packs behind the slots' current packs and the pool).
    qint64 unstartedCount() const;
    // Packs nobody has started nor asked for: what an idle slot may still take
    // (the takeable packs of every run and the pool).
    qint64 untakenCount() const;
    // A group waits in the pool (given up by a slot, or left over at a resume).
    bool hasWaitingGroup() const { return !m_pool.isEmpty(); }
    // The short last pack is among them.
    bool unstartedIncludesShortPack() const;

    qint64 doneCount() const { return m_doneCount; }
    bool allDone() const { return m_doneCount == m_packCount; }
    bool isDone(qint64 k) const;
    QList<qint64> donePacks() const;
    // Bytes of the complete packs.
    qint64 doneBytes() const { return m_doneBytes; }
    // Bytes present: complete packs plus the bytes stored in unfinished packs.
    qint64 storedBytes() const;

private:
    // A slot's run, or a group waiting in the pool: packs [current, end), of
    // which only the first may hold stored bytes. current = -1: no run.
    struct Run
    {
        qint64 current = -1;
        qint64 end = -1;
        qint64 stored = 0;
        qint64 committed = 0;   // one past the last pack the slot's requests reach
        bool active() const { return current >= 0; }
        qint64 takeable() const { return end - std::max(current + 1, committed); }
    };

    Run *run(int slot);
    const Run *run(int slot) const;
    std::optional<SlotPack> packOf(const Run &r) const;
    void reset(int slotTotal);
    void markDone(qint64 k);
    // Gives the groups to the slots from firstSlot (0-based) on.
    void divide(const QList<Run> &groups, qsizetype firstSlot = 0);

    qint64 m_fileSize = 0;
    qint64 m_packSize = 0;
    bool m_streaming = false;   // UnknownSize: the one pack reaches as far as a file may
    qint64 m_packCount = 0;
    qint64 m_fullPacks = 0;
    qint64 m_lastSize = 0;

    QList<Run> m_slots;
    QList<Run> m_pool;   // waiting groups, by increasing first pack number
    QBitArray m_done;
    qint64 m_doneCount = 0;
    qint64 m_doneBytes = 0;
};
