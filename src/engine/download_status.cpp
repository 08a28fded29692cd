#include "engine/download_status.h"

#include "core/rounding.h"

int DownloadStatus::retryingSlot() const
{
    int found = -1;
    for (int i = 0; i < 4; ++i) {
        if (perSlot[i].inUse && perSlot[i].retryInSeconds >= 0 && (found < 0 || perSlot[i].attempt > perSlot[found].attempt))
            found = i;
    }
    return found;
}

int DownloadStatus::percentOf(qint64 part, qint64 whole)
{
    return int(roundHalfAway(double(part) / double(whole) * 100.0));
}
