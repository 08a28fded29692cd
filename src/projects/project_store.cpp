#include "projects/project_store.h"

#include "core/folders.h"
#include "core/program_folder.h"
#include "core/settings.h"
#include "core/text_file.h"
#include "view/formatters.h"
#include "projects/project_file.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

const QByteArray kCrLf("\r\n");

QString withSlash(QString folder)
{
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

// A size text of the lists as shown in a row; text that is not a number shows
// as 0 bytes.
QString formattedSize(const QString &bytesText)
{
    return Format_Taille(toInteger(bytesText, 0));
}

} // namespace

ProjectStore::ProjectStore(QObject *parent)
    : QObject(parent), m_folder(withSlash(ProgramFolder::projectsDir()))
{
}

ProjectStore::ProjectStore(const QString &folder, QObject *parent)
    : QObject(parent), m_folder(withSlash(folder))
{
}

QString ProjectStore::listFilePath() const
{
    return m_folder + QStringLiteral("main.zov");
}

QString ProjectStore::projectDir(const QString &name) const
{
    return m_folder + name + QLatin1Char('/');
}

QString ProjectStore::projectFilePath(const QString &name) const
{
    return projectDir(name) + QStringLiteral("project.zov");
}

bool ProjectStore::isUsableName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20
            || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

QStringList ProjectStore::namesOfListText(const QByteArray &text)
{
    QStringList names;
    qsizetype start = 0;
    for (;;) {
        const qsizetype cr = text.indexOf(kCrLf, start);
        if (cr < 0)
            break;
        names.append(QString::fromUtf8(text.constData() + start, cr - start));
        start = cr + kCrLf.size();
    }
    return names;
}

int ProjectStore::indexOfName(const QStringList &list, const QString &name)
{
    return int(list.indexOf(name));
}

namespace {
// Modification time in nanoseconds, 0 when the file cannot be read.
qint64 modifiedNs(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}
} // namespace

void ProjectStore::dropUnfinishedCreations(const QByteArray &listText)
{
    // A new project is written folder first and listed last. A folder the list
    // does not name, whose project file is newer than the list and says it
    // never started (waiting, no register), is a creation cut short between
    // the two: it holds nothing but what that creation wrote.
    const QStringList listed = namesOfListText(listText);
    const qint64 listWritten = modifiedNs(listFilePath());
    for (const QString &name : QDir(m_folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        if (listed.contains(name) || !isUsableName(name) || QFileInfo(m_folder + name).isSymLink()
            || QFileInfo::exists(projectDir(name) + QStringLiteral("download.zov"))
            || modifiedNs(projectFilePath(name)) <= listWritten)
            continue;
        if (ProjectFile::status(TextFile::read(projectFilePath(name))) == 1)
            QDir(projectDir(name)).removeRecursively();
    }
}

void ProjectStore::clearLists()
{
    Lst_Projects.clear();
    Lst_Download_url.clear();
    Lst_Download_byte.clear();
    Lst_Projects_En_Cours.clear();
    Lst_Download_Url_En_Cours.clear();
    Lst_Download_Byte_En_Cours.clear();
    Lst_Project2.clear();
    Lst_Download_Url2.clear();
    Lst_Download_Byte2.clear();
    Recuperation = false;
}

bool ProjectStore::load()
{
    clearLists();
    bool listRead = false;
    const QByteArray listText = TextFile::read(listFilePath(), &listRead);
    if (!listRead)
        return false;
    dropUnfinishedCreations(listText);

    // Every name is looked at on its own: a name without a readable project
    // file is left out instead of shifting the url and size of the next one
    // into its place. Sorting each project straight into its group gives the
    // same lists as collecting all names first and then removing the first
    // equal name of each finished and in-progress project from the queue.
    for (const QString &name : namesOfListText(listText)) {
        if (!isUsableName(name))
            continue;
        bool ok = false;
        const QByteArray text = readProjectFile(name, &ok);
        if (!ok)
            continue;

        int afterUrl = -1;
        QString url = ProjectFile::field(text, "url:", 0, &afterUrl);
        QString bytes = ProjectFile::field(text, "bytes:", afterUrl < 0 ? 0 : afterUrl);
        if (url.isNull())
            url = QLatin1String("");
        url = ProjectFile::listedAddress(url, ProjectFile::parse(text).type);
        if (bytes.isNull())
            bytes = QLatin1String("");

        switch (ProjectFile::status(text)) {
        case 1:
            Lst_Projects.append(name);
            Lst_Download_url.append(url);
            Lst_Download_byte.append(bytes);
            break;
        case 0:
            Lst_Projects_En_Cours.append(name);
            Lst_Download_Url_En_Cours.append(url);
            Lst_Download_Byte_En_Cours.append(bytes);
            Recuperation = true;
            break;
        default:
            Lst_Project2.append(name);
            Lst_Download_Url2.append(url);
            Lst_Download_Byte2.append(bytes);
            break;
        }
    }
    return true;
}

QList<ProjectStore::ListRow> ProjectStore::rowsMain() const
{
    QList<ListRow> rows;
    if (!Lst_Projects_En_Cours.isEmpty()) {
        rows.append({2, Lst_Projects_En_Cours.value(0), Lst_Download_Url_En_Cours.value(0),
                     formattedSize(Lst_Download_Byte_En_Cours.value(0)),
                     QStringLiteral("Downloading")});
    }
    for (int i = 0; i < Lst_Projects.size(); ++i) {
        rows.append({3, Lst_Projects.at(i), Lst_Download_url.value(i),
                     formattedSize(Lst_Download_byte.value(i)), QStringLiteral("Waiting")});
    }
    return rows;
}

QList<ProjectStore::ListRow> ProjectStore::rowsFinished() const
{
    QList<ListRow> rows;
    for (int i = int(Lst_Project2.size()) - 1; i >= 0; --i) {
        rows.append({1, Lst_Project2.at(i), Lst_Download_Url2.value(i),
                     formattedSize(Lst_Download_Byte2.value(i)), QStringLiteral("Finished")});
    }
    return rows;
}

int ProjectStore::waitingIndexOfRow(int row, bool downloading)
{
    return downloading ? row - 2 : row - 1;
}

int ProjectStore::waitingIndexOfMainRow(int row) const
{
    return waitingIndexOfRow(row, !Lst_Projects_En_Cours.isEmpty());
}

int ProjectStore::finishedIndexOfRow(int row, int finishedCount)
{
    return finishedCount - row;
}

int ProjectStore::finishedIndexOfRow(int row) const
{
    return finishedIndexOfRow(row, int(Lst_Project2.size()));
}

bool ProjectStore::appendToListFile(const QString &name)
{
    if (!isUsableName(name))
        return false;
    QByteArray text = TextFile::read(listFilePath());
    // A last line without its CR LF was never loaded as a project; gluing the
    // new name to it would lose the new project too.
    const qsizetype lastCrLf = text.lastIndexOf(kCrLf);
    text.truncate(lastCrLf < 0 ? 0 : lastCrLf + kCrLf.size());
    text += name.toUtf8();
    text += kCrLf;
    QDir().mkpath(m_folder);
    return TextFile::write(listFilePath(), text);
}

bool ProjectStore::removeFromListFile(const QString &name)
{
    bool ok = false;
    const QByteArray text = TextFile::read(listFilePath(), &ok);
    if (!ok)
        return false;
    const QByteArray line = name.toUtf8();
    qsizetype start = 0;
    for (;;) {
        const qsizetype cr = text.indexOf(kCrLf, start);
        if (cr < 0)
            return false;
        if (cr - start == line.size() && text.mid(start, cr - start) == line) {
            QByteArray out = text;
            out.remove(start, line.size() + kCrLf.size());
            return TextFile::write(listFilePath(), out);
        }
        start = cr + kCrLf.size();
    }
}

bool ProjectStore::rewriteListFile()
{
    QByteArray text;
    for (const QStringList *group : {&Lst_Project2, &Lst_Projects_En_Cours, &Lst_Projects}) {
        for (const QString &name : *group) {
            text += name.toUtf8();
            text += kCrLf;
        }
    }
    QDir().mkpath(m_folder);
    return TextFile::write(listFilePath(), text);
}

QByteArray ProjectStore::readProjectFile(const QString &name, bool *ok) const
{
    if (!isUsableName(name)) {
        if (ok)
            *ok = false;
        return QByteArray();
    }
    return TextFile::read(projectFilePath(name), ok);
}

bool ProjectStore::writeProjectFile(const QString &name, const QByteArray &text)
{
    if (!isUsableName(name))
        return false;
    QDir().mkpath(projectDir(name));
    return TextFile::write(projectFilePath(name), text);
}

bool ProjectStore::rewriteStatus(const QString &name, int digit, QString *error)
{
    bool ok = false;
    const QByteArray text = readProjectFile(name, &ok);
    if (!ok) {
        if (error)
            *error = projectFilePath(name) + QStringLiteral(": cannot be read");
        return false;
    }
    return TextFile::write(projectFilePath(name), ProjectFile::withStatus(text, digit), error);
}

bool ProjectStore::addNewProject(const QString &name, const QByteArray &projectText,
                                 const QString &url, qint64 bytes, const ServerInfo &server, QString *failure)
{
    // A name that cannot be a folder of the store is never stored, in memory
    // or on disk (the probe only proposes usable names).
    if (!isUsableName(name))
        return false;
    // The list file is written last: a project is made once it is listed, and
    // a creation cut short before that is dropped at the next load.
    QString error;
    const bool projectWritten = Folders::make(projectDir(name), &error)
                                && TextFile::write(projectFilePath(name), projectText, &error);
    const bool serverWritten = projectWritten && server.write(projectDir(name));
    const bool listWritten = appendToListFile(name);
    if (error.isEmpty() && !serverWritten)
        error = projectDir(name) + ServerInfo::fileName() + QStringLiteral(": cannot be written");
    if (error.isEmpty() && !listWritten)
        error = listFilePath() + QStringLiteral(": cannot be written");
    if (failure)
        *failure = error;
    Lst_Projects.append(name);
    Lst_Download_url.append(url);
    Lst_Download_byte.append(QString::number(bytes));
    Charger_Listes();
    return projectWritten && serverWritten && listWritten;
}

bool ProjectStore::removeProject(const QString &name)
{
    // An empty or ".." name would make the folder below the store's own or its
    // parent.
    if (!isUsableName(name))
        return false;
    QDir(projectDir(name)).removeRecursively();
    removeFromListFile(name);
    // Found by name rather than by the row that was clicked: a project that
    // starts or finishes while the user answers the question shifts the rows.
    struct Group
    {
        QStringList &names, &urls, &bytes;
    };
    bool found = false;
    for (const Group &g : {Group{Lst_Project2, Lst_Download_Url2, Lst_Download_Byte2},
                           Group{Lst_Projects, Lst_Download_url, Lst_Download_byte},
                           Group{Lst_Projects_En_Cours, Lst_Download_Url_En_Cours, Lst_Download_Byte_En_Cours}}) {
        const int i = indexOfName(g.names, name);
        if (i < 0)
            continue;
        g.urls.removeAt(i);
        g.bytes.removeAt(i);
        g.names.removeAt(i);
        found = true;
        break;
    }
    Charger_Listes();
    return found;
}

bool ProjectStore::moveWaiting(int from, int to)
{
    const int n = int(Lst_Projects.size());
    if (from < 0 || from >= n || to < 0 || to >= n)
        return false;
    for (QStringList *list : {&Lst_Projects, &Lst_Download_url, &Lst_Download_byte})
        list->move(from, to);
    Charger_Listes();
    rewriteListFile();
    return true;
}
