#include "engine/speed_meter.h"

#include "core/rounding.h"

#include <cmath>

void SpeedMeter::reset(qint64 elapsedSeconds)
{
    *this = SpeedMeter();
    m_elapsed = elapsedSeconds;
}

void SpeedMeter::start(double now)
{
    m_started = true;
    m_startedAt = int(roundHalfAway(now));
}

void SpeedMeter::pause(double now)
{
    m_pausedAt = int(roundHalfAway(now));
    halt();
}

void SpeedMeter::resume(double now)
{
    for (int *stamp : {&m_startedAt, &m_pausedAt}) {
        if (now < *stamp - 2)
            *stamp -= 86400;
    }
    m_startedAt = int(roundHalfAway(now - m_pausedAt + m_startedAt));
}

void SpeedMeter::halt()
{
    // Bytes stored before the stop belong to no sample after it: the first
    // sample after a resume would show them as a speed and a time left while
    // nothing flows.
    m_tickBytes = 0;
    m_now = 0;
    m_left = -1;
    m_recent.clear();
}

bool SpeedMeter::sample(double now, qint64 received, qint64 fileSize)
{
    if (now < m_startedAt)
        m_startedAt -= 86400;   // midnight has passed since the start
    // Bytes of one interval count as bytes per second, rounded to 10 bytes;
    // the average is in whole 1000 bytes per second.
    const double immediate = std::round(m_tickBytes / 10.0) / 100.0;
    const double elapsed = now - m_startedAt;
    // What this run brought, not what an earlier run left on disk.
    const qint64 brought = received - m_present;
    m_average = elapsed > 0 ? qint64(std::floor(brought / elapsed / 1000.0)) * 1000 : 0;
    m_recent.append(m_tickBytes);
    while (m_recent.size() > RecentSamples)
        m_recent.removeFirst();
    qint64 recent = 0;
    for (qint64 b : std::as_const(m_recent))
        recent += b;
    recent /= m_recent.size();
    m_now = roundHalfAway(immediate * 1000);
    // A file of unknown size (negative) has no time left to tell.
    m_left = recent > 0 && fileSize >= 0 ? (fileSize - received) / recent : -1;
    bool flowed = false;
    if (received >= 1 && fileSize != 0) {
        // A complete file keeps the bytes of its last interval.
        if (fileSize > 0 && fileSize <= received + 1)
            return false;
        // A sample of 0 leaves the extremes alone: they move only while data
        // flows.
        if (immediate != 0) {
            m_highest = std::max(m_highest, m_now);
            if (m_now < m_lowest || m_lowest == 0)
                m_lowest = m_now;
            flowed = true;
        }
    }
    m_tickBytes = 0;
    return flowed;
}
