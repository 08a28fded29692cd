#pragma once
#include <QMetaType>
#include <QString>

#include "engine/download_failure.h"

// What a slot is doing: waiting for work, connecting for its pack, sending its
// request, receiving data, waiting before it connects again, paused.
enum class SlotActivity { Idle, Connecting, Sending, Downloading, Retrying, Paused };

// What the running download is doing, in figures: bytes, speeds in bytes per
// second, times in seconds, the state and the failure. The engine hands it out
// as it is; turning it into text is the view's, so that the window and
// zov-kestra-get say the same thing the same way.
struct DownloadStatus
{
    struct Slot
    {
        bool inUse = false;       // slot 4 is not used over FTP
        qint64 pack = -1;         // the pack in progress, -1 when idle
        qint64 packBytes = 0;     // bytes of it stored
        qint64 packSize = 0;
        int retryInSeconds = -1;  // waiting before it connects again; -1 when not
        int attempt = 0;          // that next attempt, of MaxAttempts
        bool serverWait = false;  // the wait is the server's (Retry-After), no attempt spent
        SlotActivity activity = SlotActivity::Idle;
        int percent = -1;         // of its pack stored; -1 before its first byte
    };
    // A slot gives up after this many failed attempts in a row.
    static constexpr int MaxAttempts = 5;

    int state = 0;                // Download::State
    QString project;
    QString fileName;             // the file's own name
    qint64 fileSize = 0;
    qint64 received = 0;          // bytes present: joined, complete and partial packs
    qint64 speedNow = 0;          // the last second's bytes, 0 while paused
    qint64 speedAverage = 0;      // since the run started, pauses left out
    qint64 secondsLeft = -1;      // at the recent speed; -1 when not known (paused, stalled)
    qint64 secondsElapsed = 0;
    qint64 speedHighest = 0;      // the run's highest and lowest immediate speeds; 0: none yet
    qint64 speedLowest = 0;
    bool ftp = false;             // the project's server speaks FTP (slot 4 unused)
    // The pack plan: fullPacks packs of packSize, then one of lastPackSize
    // (0: none); unstartedPacks nobody has started, the short one among them
    // or not.
    qint64 packSize = 0;
    qint64 fullPacks = 0;
    qint64 lastPackSize = 0;
    qint64 unstartedPacks = 0;
    bool unstartedIncludesShortPack = false;
    DownloadFailure failure = DownloadFailure::None;
    QString failureDetail;        // what failureText() of the view needs
    Slot perSlot[4];

    // The slot that waits longest before its next attempt, or -1: what a
    // progress line says while the server is out of reach.
    int retryingSlot() const;
    // Whole percentage of part in whole, rounded half away from zero.
    static int percentOf(qint64 part, qint64 whole);
};
Q_DECLARE_METATYPE(DownloadStatus)
