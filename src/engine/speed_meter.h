#pragma once
#include <QList>
#include <QtGlobal>

// The running download's clocks and speeds: the elapsed time (counted in
// seconds by the one-second tick, kept across runs), the start of the speed
// clock (seconds since midnight of the first data, moved on by every pause so
// that the average leaves pauses out), and what each speed sample says.
class SpeedMeter
{
public:
    // The time left follows the mean of this many recent samples, so that it
    // follows a stall and the recovery after it within seconds.
    static constexpr int RecentSamples = 5;

    // A run begins with the elapsed time of the runs before it.
    void reset(qint64 elapsedSeconds);
    // The bytes present when the run began: what it brings is counted above them.
    void setPresent(qint64 bytes) { m_present = bytes; }
    // The first data arrived at now (seconds since midnight).
    void start(double now);
    bool isStarted() const { return m_started; }
    void pause(double now);
    // The start moves on by the pause's length; stamps above the clock were
    // taken before midnight.
    void resume(double now);
    void tick() { ++m_elapsed; }
    void add(qint64 bytes) { m_tickBytes += bytes; }
    // One speed sample at now: speeds, time left and the extremes. True when
    // data flowed into a file not complete yet (the speed graphs scroll).
    bool sample(double now, qint64 received, qint64 fileSize);
    // Nothing flows (a pause): no running speed, no time left.
    void halt();

    qint64 elapsedSeconds() const { return m_elapsed; }
    int startedAt() const { return m_startedAt; }
    qint64 speedNow() const { return m_now; }
    qint64 speedAverage() const { return m_average; }
    qint64 secondsLeft() const { return m_left; }   // -1: unknown
    qint64 highest() const { return m_highest; }    // 0: none yet
    qint64 lowest() const { return m_lowest; }
    qint64 bytesThisTick() const { return m_tickBytes; }

private:
    bool m_started = false;
    qint64 m_elapsed = 0;
    int m_startedAt = 0;     // seconds since midnight of the run's first data
    int m_pausedAt = 0;      // seconds since midnight at the last pause
    qint64 m_present = 0;    // bytes present when the run began
    qint64 m_tickBytes = 0;  // bytes since the last sample
    qint64 m_now = 0, m_average = 0, m_left = -1, m_highest = 0, m_lowest = 0;
    QList<qint64> m_recent;  // bytes of the last samples
};
