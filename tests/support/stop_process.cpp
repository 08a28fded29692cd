#include "support/stop_process.h"

#include <QProcess>

void stopProcess(QProcess *process, int waitMs)
{
    if (!process || process->state() == QProcess::NotRunning)
        return;
    process->terminate();
    if (!process->waitForFinished(waitMs)) {
        process->kill();
        process->waitForFinished(waitMs);
    }
}
