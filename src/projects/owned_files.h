#pragma once
#include <QString>

// What a project made on the user's disk, kept beside its own files
// ("owned.zov" in the project folder): the download folder it created for its
// packs, and the name it chose for the finished file before moving it there.
// These, and the pack and work files inside that folder, are the only things
// the project ever reads as its data, removes or calls its own; whatever else
// sits at a name it wanted belongs to the user. Lines are "Folder:<path>" and
// "Final:<path>", CR LF ended; a missing line means "not made yet".
class OwnedFiles
{
public:
    QString folder;     // ends with "/"
    QString finalFile;

    static QString fileName() { return QStringLiteral("owned.zov"); }
    // projectDir ends with "/".
    static OwnedFiles read(const QString &projectDir);
    // False with "file: reason" in error.
    bool write(const QString &projectDir, QString *error) const;
};
