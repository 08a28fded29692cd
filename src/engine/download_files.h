#pragma once
#include <QString>

#include "projects/owned_files.h"

// Where the running project keeps its data on the user's disk: the download
// folder it made for the work file, and the name it chose
// for the finished file, both recorded in the project folder (OwnedFiles) so
// that the project only ever reads, removes or calls its own what it made.
class DownloadFiles
{
public:
    DownloadFiles() = default;
    // destination: the folder the finished file goes to, ending with "/";
    // fileName: the file's own name.
    DownloadFiles(const QString &project, const QString &destination, const QString &fileName);

    QString fileName() const { return m_fileName; }
    // The file name up to its first ".": the stem of the packs' names.
    QString baseName() const { return m_baseName; }
    // The folder made for the packs ("name/" or "name (n)/"), empty until made.
    QString folder() const { return m_owned.folder; }
    QString packFile(qint64 pack) const;
    QString registerPath() const { return m_projectDir + QStringLiteral("download.zov"); }
    QString timeFilePath() const { return m_projectDir + QStringLiteral("infos.zov"); }
    // The finished file: the recorded name, or the file's own name in the
    // destination until one is recorded.
    QString finalFile() const;

    // The download folder exists and is the project's: the recorded one
    // (made again, empty, if it was removed and nothing took its name), the
    // folder named after a project that ran before folders were recorded, or
    // a new one. False with the reason.
    bool prepare(QString *failure);
    // The finished file is in place under the recorded name, with the right
    // length and no work file left: an earlier run moved it and was stopped
    // before it could say so.
    bool finalInPlace(qint64 size) const;
    // Records the finished file's name before the file moves there: the
    // file's own, or the first "name (n).ext" nothing holds. False with the
    // reason when it could not be recorded.
    bool chooseFinalName(QString *failure);
    // Whether the download folder's disk holds `left` more bytes; detail
    // then gives "left\nfree\nfolder" for the message.
    bool roomFor(qint64 left, QString *detail) const;

    // Removes what a project made in its download folder (pack files and the
    // work file), then the folder if that left it empty. A project begun
    // before its folder was recorded owns the folder named after it only
    // when its register says it ran. Nothing else is ever removed.
    static void removeMade(const QString &projectDir, const QString &legacyFolder);

private:
    QString m_project, m_projectDir, m_destination, m_fileName, m_baseName;
    OwnedFiles m_owned;
};
