#include "projects/project_store.h"

#include "core/folders.h"
#include "core/program_folder.h"
#include "core/settings.h"
#include "core/text_file.h"
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

// Where a group stands in the list of entries: finished, in progress, waiting.
int rankOf(int status)
{
    return status == ProjectEntry::Finished ? 0 : status == ProjectEntry::InProgress ? 1 : 2;
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
        if (listed.contains(name) || !isUsableName(name) || !Folders::isRealFolder(m_folder + name)
            || QFileInfo::exists(projectDir(name) + QStringLiteral("download.zov"))
            || modifiedNs(projectFilePath(name)) <= listWritten)
            continue;
        if (ProjectFile::status(TextFile::read(projectFilePath(name))) == 1)
            QDir(projectDir(name)).removeRecursively();
    }
}

bool ProjectStore::load()
{
    m_entries.clear();
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

        // A size that is not a number counts as 0 bytes.
        const int status = ProjectFile::status(text);
        const ProjectEntry entry{name, url, toInteger(bytes, 0),
                                 status == 1   ? ProjectEntry::Waiting
                                 : status == 0 ? ProjectEntry::InProgress
                                               : ProjectEntry::Finished};
        m_entries.insert(endOf(entry.status), entry);
    }
    return true;
}

QList<ProjectEntry> ProjectStore::group(int status) const
{
    QList<ProjectEntry> out;
    for (const ProjectEntry &e : m_entries) {
        if (e.status == status)
            out.append(e);
    }
    return out;
}

int ProjectStore::indexOf(const QString &name, int status) const
{
    for (int i = 0; i < m_entries.size(); ++i) {
        if (m_entries.at(i).status == status && m_entries.at(i).name == name)
            return i;
    }
    return -1;
}

int ProjectStore::endOf(int status) const
{
    int end = 0;
    while (end < m_entries.size() && rankOf(m_entries.at(end).status) <= rankOf(status))
        ++end;
    return end;
}

const ProjectEntry *ProjectStore::current() const
{
    const int i = endOf(ProjectEntry::Finished);
    return i < m_entries.size() && m_entries.at(i).status == ProjectEntry::InProgress ? &m_entries.at(i) : nullptr;
}

QList<ProjectEntry> ProjectStore::findByAddress(const QString &url) const
{
    QList<ProjectEntry> out;
    for (const ProjectEntry &e : m_entries) {
        // A project a redirection led elsewhere is found by the address the
        // user gave as well (a signed address differs every time).
        if (e.url == url || (!url.isEmpty() && ServerInfo::read(projectDir(e.name)).askedAddress == url))
            out.append(e);
    }
    return out;
}

QList<ProjectStore::ListRow> ProjectStore::rowsMain() const
{
    QList<ListRow> rows;
    if (const ProjectEntry *e = current())
        rows.append({2, e->name, e->url, e->bytes, QStringLiteral("Downloading")});
    for (const ProjectEntry &e : waiting())
        rows.append({3, e.name, e.url, e.bytes, QStringLiteral("Waiting")});
    return rows;
}

QList<ProjectStore::ListRow> ProjectStore::rowsFinished() const
{
    QList<ListRow> rows;
    const QList<ProjectEntry> done = finished();
    for (auto e = done.crbegin(); e != done.crend(); ++e)
        rows.append({1, e->name, e->url, e->bytes, QStringLiteral("Finished")});
    return rows;
}

int ProjectStore::waitingIndexOfMainRow(int row) const
{
    return current() ? row - 2 : row - 1;
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
    for (const ProjectEntry &e : m_entries) {
        text += e.name.toUtf8();
        text += kCrLf;
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

bool ProjectStore::rewriteProjectFile(const QString &name, const std::function<QByteArray(const QByteArray &)> &change,
                                      QString *error)
{
    bool ok = false;
    const QByteArray text = readProjectFile(name, &ok);
    if (!ok) {
        if (error)
            *error = projectFilePath(name) + QStringLiteral(": cannot be read");
        return false;
    }
    return TextFile::write(projectFilePath(name), change(text), error);
}

bool ProjectStore::rewriteStatus(const QString &name, int digit, QString *error)
{
    return rewriteProjectFile(name, [digit](const QByteArray &text) { return ProjectFile::withStatus(text, digit); }, error);
}

bool ProjectStore::recordSize(const QString &name, qint64 bytes, qint64 packSize, QString *error)
{
    const auto sized = [bytes, packSize](const QByteArray &text) {
        ProjectRecord record = ProjectFile::parse(text);
        record.bytes = bytes;
        record.packsize = packSize;
        return ProjectFile::build(record);
    };
    if (!rewriteProjectFile(name, sized, error))
        return false;
    for (ProjectEntry &e : m_entries) {
        if (e.name == name)
            e.bytes = bytes;
    }
    emit listsChanged();
    return true;
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
    m_entries.append({name, url, bytes, ProjectEntry::Waiting});
    emit listsChanged();
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
    // A name listed twice loses its finished entry first, then its waiting
    // one, then the one in progress.
    int i = -1;
    for (int status : {ProjectEntry::Finished, ProjectEntry::Waiting, ProjectEntry::InProgress}) {
        if ((i = indexOf(name, status)) >= 0)
            break;
    }
    if (i >= 0)
        m_entries.removeAt(i);
    emit listsChanged();
    return i >= 0;
}

bool ProjectStore::moveWaiting(int from, int to)
{
    const int first = endOf(ProjectEntry::InProgress);
    const int n = int(m_entries.size()) - first;
    if (from < 0 || from >= n || to < 0 || to >= n)
        return false;
    m_entries.move(first + from, first + to);
    emit listsChanged();
    rewriteListFile();
    return true;
}

bool ProjectStore::start(const QString &name)
{
    const int i = indexOf(name, ProjectEntry::Waiting);
    if (i < 0)
        return false;
    ProjectEntry entry = m_entries.takeAt(i);
    entry.status = ProjectEntry::InProgress;
    m_entries.insert(endOf(ProjectEntry::InProgress), entry);
    emit listsChanged();
    rewriteStatus(name, ProjectEntry::InProgress);
    return true;
}

bool ProjectStore::finish(const QString &name, QString *error)
{
    const int i = indexOf(name, ProjectEntry::InProgress);
    // Finished only once the project's record says so.
    if (!rewriteStatus(name, ProjectEntry::Finished, error))
        return false;
    if (i >= 0) {
        ProjectEntry entry = m_entries.takeAt(i);
        entry.status = ProjectEntry::Finished;
        m_entries.insert(endOf(ProjectEntry::Finished), entry);
    }
    emit listsChanged();
    return true;
}

bool ProjectStore::requeue(const QString &name)
{
    const int i = indexOf(name, ProjectEntry::InProgress);
    if (i < 0)
        return false;
    ProjectEntry entry = m_entries.takeAt(i);
    entry.status = ProjectEntry::Waiting;
    m_entries.insert(endOf(ProjectEntry::InProgress), entry);
    rewriteStatus(name, ProjectEntry::Waiting);
    emit listsChanged();
    return true;
}
