#pragma once
#include <QList>
#include <QString>

#include "engine/final_assembler.h"
#include "engine/pack_plan.h"

// What a project's files say about its download when it starts again, after a
// pause, a clean close or a kill at any moment.
//
// The files can disagree after a kill: a pack written whole but not yet
// registered, a join cut halfway, a pack file the work file already holds, a
// torn register line. They are reconciled from what cannot lie:
// - the work file holds whole packs only, so its length says how many packs it
//   holds (a cut-off tail is truncated); their leftover pack files are deleted;
// - every byte in a pack file was checked against the range asked for before
//   it was written, so a pack file's length is how much of its pack is stored:
//   a file as long as its pack is complete, a shorter one continues where it
//   ends (registered ":0" or not: a kill leaves no note), one longer than its
//   pack is not trusted and is deleted;
// - the register is then rewritten to match: one ":1" line per complete pack,
//   no ":0" line (the packs in progress are about to run again).
class ProjectResume
{
public:
    struct State
    {
        qint64 joined = 0;                      // packs in the work file
        QList<PackPlan::PendingPack> pending;   // packs to fetch, with the bytes their files hold
        qint64 completeBytes = 0;               // bytes of the complete packs
        qint64 storedBytes = 0;                 // complete packs plus partial pack files
        // On failure: the file that could not be read or written, and why.
        QString error;
    };

    // Looks at the work file, the pack files and the register of one project
    // and brings them in line. registerPath: the project's download.zov.
    static State reconcile(const FinalAssembler::Input &in, const QString &registerPath);

    // The time file "infos.zov": "sec:", "min:" and "h:" lines, CR LF ended.
    // A missing or unreadable file, or a value that is not a number, gives 0.
    struct Elapsed
    {
        int h = 0, m = 0, s = 0;
    };
    static Elapsed readTimeFile(const QString &path);
    static bool writeTimeFile(const QString &path, const Elapsed &t);
};
