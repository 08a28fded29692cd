#include "projects/owned_files.h"

#include "core/text_file.h"

#include <QByteArrayList>

OwnedFiles OwnedFiles::read(const QString &projectDir)
{
    OwnedFiles owned;
    const QByteArray text = TextFile::read(projectDir + fileName());
    for (const QByteArray &line : text.split('\n')) {
        // A path is whole only with its line ending: a torn last line names
        // nothing.
        if (!line.endsWith('\r'))
            continue;
        const QByteArray l = line.chopped(1);
        if (l.startsWith("Folder:"))
            owned.folder = QString::fromUtf8(l.mid(7));
        else if (l.startsWith("Final:"))
            owned.finalFile = QString::fromUtf8(l.mid(6));
    }
    if (!owned.folder.isEmpty() && !owned.folder.endsWith(QLatin1Char('/')))
        owned.folder += QLatin1Char('/');
    return owned;
}

bool OwnedFiles::write(const QString &projectDir, QString *error) const
{
    QByteArray text;
    if (!folder.isEmpty())
        text += "Folder:" + folder.toUtf8() + "\r\n";
    if (!finalFile.isEmpty())
        text += "Final:" + finalFile.toUtf8() + "\r\n";
    return TextFile::write(projectDir + fileName(), text, error);
}
