#pragma once
#include <QString>

// One project as the store holds it: its name (also the name of its folder),
// its address as the list views show it, its size in bytes, and where it
// stands (the digit of its project file's status line).
struct ProjectEntry
{
    enum Status { InProgress = 0, Waiting = 1, Finished = 2 };

    QString name;
    QString url;
    qint64 bytes = 0;
    int status = Waiting;
};
