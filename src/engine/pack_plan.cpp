#include "engine/pack_plan.h"

#include <algorithm>
#include <limits>

PackPlan::PackPlan(qint64 fileSize, qint64 packSize)
{
    if (fileSize == UnknownSize) {
        // One pack as long as any file can be: the slot's store loop never
        // finds it full, and the stream's end sets its length.
        m_streaming = true;
        fileSize = packSize = std::numeric_limits<qint64>::max() / 4;
    }
    if (fileSize <= 0 || packSize <= 0)
        return;
    m_fileSize = fileSize;
    m_packSize = packSize;
    m_fullPacks = fileSize / packSize;
    m_lastSize = fileSize - packSize * m_fullPacks;
    m_packCount = m_fullPacks + (m_lastSize > 0 ? 1 : 0);
    m_done = QBitArray(m_packCount);
}

void PackPlan::learnSize(qint64 size)
{
    if (!m_streaming)
        return;
    m_streaming = false;
    size = std::max<qint64>(size, 0);
    m_fileSize = m_packSize = size;
    m_fullPacks = size > 0 ? 1 : 0;
    m_lastSize = 0;
    m_packCount = m_fullPacks;
    m_done.resize(m_packCount);
    if (m_packCount == 0) {
        for (Run &r : m_slots)
            r = Run{};
        m_pool.clear();
    }
}

qint64 PackPlan::packStart(qint64 k) const
{
    if (k < 0 || k >= m_packCount)
        return -1;
    return k * m_packSize;
}

qint64 PackPlan::packSize(qint64 k) const
{
    if (k < 0 || k >= m_packCount)
        return 0;
    if (k == m_packCount - 1 && m_lastSize > 0)
        return m_lastSize;
    return m_packSize;
}

qint64 PackPlan::packLastByte(qint64 k) const
{
    if (k < 0 || k >= m_packCount)
        return -1;
    return packStart(k) + packSize(k) - 1;
}

void PackPlan::reset(int slotTotal)
{
    m_slots = QList<Run>(std::max(slotTotal, 1));
    m_pool.clear();
    m_done = QBitArray(m_packCount);
    m_doneCount = 0;
    m_doneBytes = 0;
}

void PackPlan::start(int slotTotal)
{
    reset(slotTotal);
    if (m_packCount > 0)
        divide({Run{0, m_packCount, 0}});
}

void PackPlan::start(int slotTotal, const QList<PendingPack> &pending, qint64 firstRunPacks)
{
    reset(slotTotal);

    // Keep the first entry of each valid number, then sort by number.
    QBitArray listed(m_packCount);
    QList<PendingPack> packs;
    for (const PendingPack &p : pending) {
        if (p.number < 0 || p.number >= m_packCount || listed.testBit(p.number))
            continue;
        listed.setBit(p.number);
        packs.append({p.number, std::clamp<qint64>(p.stored, 0, packSize(p.number))});
    }
    std::sort(packs.begin(), packs.end(),
              [](const PendingPack &a, const PendingPack &b) { return a.number < b.number; });

    for (qint64 k = 0; k < m_packCount; ++k) {
        if (!listed.testBit(k))
            markDone(k);
    }

    // Groups of consecutive numbers; a partly fetched pack always opens a group,
    // since a run's byte range can only skip stored bytes at its very start.
    QList<Run> groups;
    for (const PendingPack &p : packs) {
        if (!groups.isEmpty() && groups.last().end == p.number && p.stored == 0)
            groups.last().end = p.number + 1;
        else
            groups.append(Run{p.number, p.number + 1, p.stored});
    }
    divide(groups);
    // Slot 1 already has an answer on its way for packs [0, firstRunPacks):
    // they must all be in its run. When its share is shorter (a small file),
    // it gets just those, and the other slots share the rest.
    const bool answerFits = firstRunPacks <= 0 || groups.isEmpty() || groups[0].current != 0
                            || groups[0].stored != 0 || m_slots[0].end >= std::min(firstRunPacks, groups[0].end);
    if (answerFits || m_slots.size() < 2)
        return;
    Run &first = groups[0];
    const qint64 reach = std::min(firstRunPacks, first.end);
    std::fill(m_slots.begin(), m_slots.end(), Run{});
    m_pool.clear();
    m_slots[0] = Run{0, reach, 0};
    first.current = reach;
    if (first.current == first.end)
        groups.removeFirst();
    divide(groups, 1);
}

void PackPlan::divide(const QList<Run> &groups, qsizetype firstSlot)
{
    const qsizetype slotTotal = m_slots.size() - firstSlot;
    if (groups.size() >= slotTotal) {
        for (qsizetype i = 0; i < slotTotal; ++i)
            m_slots[firstSlot + i] = groups[i];
        m_pool = groups.mid(slotTotal);
        return;
    }

    // Fewer groups than slots: one slot each, then every further slot to the
    // group with the most packs per slot that still has a pack for it.
    QList<qint64> share(groups.size(), 1);
    for (qsizetype extra = slotTotal - groups.size(); extra > 0; --extra) {
        qsizetype best = -1;
        for (qsizetype g = 0; g < groups.size(); ++g) {
            const qint64 length = groups[g].end - groups[g].current;
            if (share[g] >= length)
                continue;
            if (best < 0) {
                best = g;
                continue;
            }
            const qint64 bestLength = groups[best].end - groups[best].current;
            // length / share[g] > bestLength / share[best], without rounding.
            if (length * share[best] > bestLength * share[g])
                best = g;
        }
        if (best < 0)
            break;
        ++share[best];
    }

    qsizetype slot = firstSlot;
    for (qsizetype g = 0; g < groups.size(); ++g) {
        const Run &group = groups[g];
        const qint64 length = group.end - group.current;
        const qint64 base = length / share[g];
        const qint64 longer = length % share[g];
        qint64 first = group.current;
        for (qint64 j = 0; j < share[g]; ++j) {
            const qint64 end = first + base + (j < longer ? 1 : 0);
            m_slots[slot++] = Run{first, end, first == group.current ? group.stored : 0};
            first = end;
        }
    }
}

PackPlan::Run *PackPlan::run(int slot)
{
    if (slot < 1 || slot > m_slots.size())
        return nullptr;
    return &m_slots[slot - 1];
}

const PackPlan::Run *PackPlan::run(int slot) const
{
    if (slot < 1 || slot > m_slots.size())
        return nullptr;
    return &m_slots[slot - 1];
}

std::optional<PackPlan::SlotPack> PackPlan::packOf(const Run &r) const
{
    if (!r.active())
        return std::nullopt;
    return SlotPack{r.current, packStart(r.current), packSize(r.current), r.stored};
}

std::optional<PackPlan::SlotPack> PackPlan::currentPack(int slot) const
{
    const Run *r = run(slot);
    return r ? packOf(*r) : std::nullopt;
}

qint64 PackPlan::runEnd(int slot) const
{
    const Run *r = run(slot);
    return r && r->active() ? r->end : -1;
}

qint64 PackPlan::runFirstMissingByte(int slot) const
{
    const Run *r = run(slot);
    return r && r->active() ? packStart(r->current) + r->stored : -1;
}

qint64 PackPlan::runLastByte(int slot) const
{
    const Run *r = run(slot);
    return r && r->active() ? packLastByte(r->end - 1) : -1;
}

void PackPlan::setStored(int slot, qint64 bytes)
{
    Run *r = run(slot);
    if (r && r->active())
        r->stored = std::clamp<qint64>(bytes, 0, packSize(r->current));
}

void PackPlan::addStored(int slot, qint64 bytes)
{
    const Run *r = run(slot);
    if (r && r->active())
        setStored(slot, r->stored + bytes);
}

void PackPlan::markDone(qint64 k)
{
    if (k < 0 || k >= m_packCount || m_done.testBit(k))
        return;
    m_done.setBit(k);
    ++m_doneCount;
    m_doneBytes += packSize(k);
}

std::optional<PackPlan::SlotPack> PackPlan::packDone(int slot)
{
    Run *r = run(slot);
    if (!r || !r->active())
        return std::nullopt;
    markDone(r->current);
    ++r->current;
    r->stored = 0;
    if (r->current >= r->end)
        *r = Run{};
    return packOf(*r);
}

std::optional<PackPlan::SlotPack> PackPlan::next(int slot, int *shortenedSlot)
{
    if (shortenedSlot)
        *shortenedSlot = 0;
    Run *r = run(slot);
    if (!r)
        return std::nullopt;
    if (r->active())
        return packOf(*r);

    if (!m_pool.isEmpty()) {
        *r = m_pool.takeFirst();
        return packOf(*r);
    }

    // Steal from the run with the most packs nobody has started.
    qsizetype victim = -1;
    qint64 most = 0;
    for (qsizetype i = 0; i < m_slots.size(); ++i) {
        const Run &other = m_slots[i];
        if (!other.active())
            continue;
        const qint64 unstarted = other.takeable();
        if (unstarted > most) {
            most = unstarted;
            victim = i;
        }
    }
    if (victim < 0)
        return std::nullopt;

    // Rounded up: a run with a single unstarted pack still gives it away.
    const qint64 taken = (most + 1) / 2;
    Run &owner = m_slots[victim];
    *r = Run{owner.end - taken, owner.end, 0};
    owner.end -= taken;
    if (shortenedSlot)
        *shortenedSlot = int(victim + 1);
    return packOf(*r);
}

void PackPlan::commitThrough(int slot, qint64 pack)
{
    Run *r = run(slot);
    if (r && r->active())
        r->committed = std::max(r->committed, std::min(pack + 1, r->end));
}

void PackPlan::uncommit(int slot)
{
    if (Run *r = run(slot))
        r->committed = 0;
}

void PackPlan::release(int slot)
{
    Run *r = run(slot);
    if (!r || !r->active())
        return;
    Run back = *r;
    back.committed = 0;
    *r = Run{};
    auto at = std::lower_bound(m_pool.begin(), m_pool.end(), back,
                               [](const Run &a, const Run &b) { return a.current < b.current; });
    m_pool.insert(at, back);
}

qint64 PackPlan::unstartedCount() const
{
    qint64 busy = 0;
    for (const Run &r : m_slots)
        busy += r.active() ? 1 : 0;
    return m_packCount - m_doneCount - busy;
}

qint64 PackPlan::untakenCount() const
{
    qint64 n = 0;
    for (const Run &r : m_slots)
        n += r.active() ? std::max<qint64>(0, r.takeable()) : 0;
    for (const Run &r : m_pool)
        n += r.end - r.current;
    return n;
}

bool PackPlan::unstartedIncludesShortPack() const
{
    if (m_lastSize <= 0 || isDone(m_packCount - 1))
        return false;
    for (const Run &r : m_slots) {
        if (r.current == m_packCount - 1)
            return false;
    }
    return true;
}

bool PackPlan::isDone(qint64 k) const
{
    return k >= 0 && k < m_packCount && m_done.testBit(k);
}

QList<qint64> PackPlan::donePacks() const
{
    QList<qint64> numbers;
    numbers.reserve(m_doneCount);
    for (qint64 k = 0; k < m_packCount; ++k) {
        if (m_done.testBit(k))
            numbers.append(k);
    }
    return numbers;
}

qint64 PackPlan::storedBytes() const
{
    qint64 bytes = m_doneBytes;
    for (const Run &r : m_slots)
        bytes += r.active() ? r.stored : 0;
    for (const Run &r : m_pool)
        bytes += r.stored;
    return bytes;
}
