#pragma once
#include <QList>
#include <QString>

#include "engine/final_assembler.h"
#include "engine/pack_plan.h"

// What a project's files say about its download when it starts again, after a
// pause, a clean close or a kill at any moment.
//
// The slots write in place into the work file, which holds the file's length
// from the start, so its length says nothing of what is stored: the register
// does. The files are reconciled from what cannot lie:
// - a pack with a ":1" line is in the work file (its line is written after
//   its last byte); with no work file there (or not one of the file's
//   length), the register's lines say nothing;
// - a pack in progress holds at least what its progress record says (each
//   record is written after the bytes it counts), so a kill costs only what
//   arrived after a slot's last record;
// - a work file shorter than the file, and pack files, are what an earlier
//   version of the program left: the whole packs at the work file's start
//   are stored, and each pack file's bytes (never more than its pack) are
//   written in place and the pack file removed;
// - the register is then rewritten to match: one ":1" line per complete pack,
//   no ":0" line (the packs in progress are about to run again), and the
//   progress records carry the partial packs.
class ProjectResume
{
public:
    struct State
    {
        QList<PackPlan::PendingPack> pending;   // packs to fetch, with the bytes their files hold
        qint64 completeBytes = 0;               // bytes of the complete packs
        qint64 storedBytes = 0;                 // complete packs plus partial pack files
        // On failure: the file that could not be read or written, and why.
        QString error;
    };

    // Looks at the work file, the register and its progress records (and
    // pack files an earlier version left) of one project and brings them in
    // line. registerPath: the project's download.zov.
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
