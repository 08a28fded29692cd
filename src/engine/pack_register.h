#pragma once
#include <QByteArray>
#include <QList>
#include <QString>

// A project's pack register ("download.zov"): one CR LF ended line per pack,
// "<pack file>:1" once the pack is complete, "<pack file>:0" for a pack that was
// in progress at a pause. Lines are appended one at a time, so a pack costs the
// same whatever its number. A crash can leave a torn last line (no CR LF): it
// is ignored when the register is read, and every run begins by rewriting the
// register from the files (ProjectResume), so no line is ever glued onto it.
class PackRegister
{
public:
    explicit PackRegister(QString path = QString());
    QString path() const { return m_path; }

    // Appends "<packFile>:<state>" with one write. On failure error gets the
    // system's reason.
    bool append(const QByteArray &packFile, char state, QString *error = nullptr);
    // The complete lines, without their CR LF.
    QList<QByteArray> lines() const;
    // Notes ":0" for each listed pack file that has no line yet.
    bool addPauseNotes(const QList<QByteArray> &packFiles);
    // Takes the ":0" notes out again (the packs are in progress once more).
    bool dropPauseNotes();

private:
    QString m_path;
};
