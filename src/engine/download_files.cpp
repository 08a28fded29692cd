#include "engine/download_files.h"

#include "core/folders.h"
#include "core/program_folder.h"
#include "engine/final_assembler.h"
#include "engine/url_helpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStorageInfo>

#include <unistd.h>

DownloadFiles::DownloadFiles(const QString &project, const QString &destination, const QString &fileName)
    : m_project(project)
    , m_projectDir(ProgramFolder::projectDir(project))
    , m_destination(destination)
    , m_fileName(fileName)
    , m_baseName(baseNameOf(fileName))
    , m_owned(OwnedFiles::read(m_projectDir))
{
}

QString DownloadFiles::packFile(qint64 pack) const
{
    return FinalAssembler::packFilePath(folder(), m_baseName, pack);
}

QString DownloadFiles::finalFile() const
{
    return m_owned.finalFile.isEmpty() ? m_destination + m_fileName : m_owned.finalFile;
}

bool DownloadFiles::prepare(QString *failure)
{
    if (!m_owned.folder.isEmpty()) {
        if (Folders::isRealFolder(m_owned.folder))
            return true;
        // A folder removed meanwhile is made again, empty, where it was
        // (mkdir makes only a new one); anything else in its place is not the
        // project's, which then makes a folder anew.
        if (!Folders::taken(m_owned.folder.chopped(1)))
            return Folders::make(m_owned.folder, failure);
        m_owned.folder.clear();
    } else if (const QString legacy = m_destination + m_project + QLatin1Char('/');
               QFileInfo::exists(registerPath()) && Folders::isRealFolder(legacy)) {
        // A project begun before download folders were recorded: it ran (its
        // register says so) in the folder named after it.
        m_owned.folder = legacy;
        if (m_owned.write(m_projectDir, failure))
            return true;
        m_owned.folder.clear();
        return false;
    }
    // A folder of its own, never one that exists: whatever the user keeps
    // under the project's name stays theirs.
    // A file without an extension is named like its project: the folder then
    // takes another name than the one the file will take beside it.
    const QString made = Folders::makeFresh(m_destination, m_project + (m_project == m_fileName ? QStringLiteral(".parts") : QString()), failure);
    if (made.isEmpty())
        return false;
    m_owned.folder = made;
    if (m_owned.write(m_projectDir, failure))
        return true;
    ::rmdir(QFile::encodeName(made).constData());
    m_owned.folder.clear();
    return false;
}

bool DownloadFiles::finalInPlace(qint64 size) const
{
    // The work file goes only by being moved to the chosen name.
    return size >= 0 && !m_owned.finalFile.isEmpty() && Folders::regularFileSize(m_owned.finalFile) == size
           && (m_owned.folder.isEmpty() || !Folders::taken(m_owned.folder + QStringLiteral("final.zov")));
}

bool DownloadFiles::chooseFinalName(QString *failure)
{
    // Written down before the file moves there, so that a run stopped right
    // after the move still knows the file as its own.
    QString target = m_owned.finalFile;
    if (target.isEmpty() || Folders::taken(target))
        target = Folders::freeName(m_destination, m_fileName);
    if (target == m_owned.finalFile)
        return true;
    const OwnedFiles before = m_owned;
    m_owned.finalFile = target;
    if (!target.isEmpty() && m_owned.write(m_projectDir, failure))
        return true;
    m_owned = before;
    if (target.isEmpty())
        *failure = m_destination + m_fileName + QStringLiteral(": no free name is left");
    return false;
}

bool DownloadFiles::roomFor(qint64 left, QString *detail) const
{
    const QStorageInfo disk(folder());
    if (left <= 0 || !disk.isValid() || disk.bytesAvailable() >= left)
        return true;
    *detail = QStringLiteral("%1\n%2\n%3").arg(left).arg(disk.bytesAvailable()).arg(disk.rootPath());
    return false;
}

void DownloadFiles::removeMade(const QString &projectDir, const QString &legacyFolder)
{
    QString folder = OwnedFiles::read(projectDir).folder;
    if (folder.isEmpty() && !legacyFolder.isEmpty() && QFileInfo::exists(projectDir + QStringLiteral("download.zov")))
        folder = legacyFolder;
    if (folder.isEmpty() || !Folders::isRealFolder(folder))
        return;
    // The names the project gives its files: "<base>(<pack>).zov" and the
    // work file. A file of the user's in the folder keeps the folder too.
    static const QRegularExpression packName(QStringLiteral("^.*\\(\\d+\\)\\.zov$"));
    QDir dir(folder);
    for (const QString &entry : dir.entryList(QDir::Files | QDir::System | QDir::Hidden)) {
        if (entry == QLatin1String("final.zov") || packName.match(entry).hasMatch())
            dir.remove(entry);
    }
    ::rmdir(QFile::encodeName(folder).constData());
}
