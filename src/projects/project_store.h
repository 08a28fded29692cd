#pragma once
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

#include "projects/project_entry.h"
#include "projects/server_info.h"

// The project store: the list file "main.zov" (one project name + CR LF per line,
// in queue order) and one folder per project holding its "project.zov", mirrored
// in one list of entries: the finished projects (oldest first), then the one in
// progress, then the waiting ones in queue order, which is also the order
// rewriteListFile() writes. The entries change only through the operations
// below, each of which writes what the files must say of the change and
// announces listsChanged().
// Every whole-file write replaces the file atomically.
class ProjectStore : public QObject
{
    Q_OBJECT

public:
    // One row of a list view: image 1 finished, 2 in progress, 3 waiting; the
    // file's size in bytes; status "Downloading", "Waiting" or "Finished".
    struct ListRow
    {
        int image = 0;
        QString name;
        QString url;
        qint64 bytes = 0;
        QString status;
    };

    // The store lives in the program folder's "projects/".
    explicit ProjectStore(QObject *parent = nullptr);
    // The store lives in folder (tests, or a second store beside the first).
    explicit ProjectStore(const QString &folder, QObject *parent = nullptr);

    // Loading at start: forgets every entry, reads the list file (lines ended
    // by CR LF, text after the last CR LF ignored) and each named project file,
    // and sorts the projects into the three groups by their status (1 waiting,
    // 0 in progress, anything else finished), keeping the list file's order
    // within each group. A name whose project file is missing or unreadable, or
    // that cannot name a folder, is left out (the list file is not changed); a
    // folder the list does not name, left by a creation cut short, is removed.
    // Returns false when there was no readable list file (the store is then
    // empty).
    bool load();

    // Every entry: finished (oldest first), in progress, waiting (queue order).
    const QList<ProjectEntry> &entries() const { return m_entries; }
    QList<ProjectEntry> waiting() const { return group(ProjectEntry::Waiting); }
    QList<ProjectEntry> inProgress() const { return group(ProjectEntry::InProgress); }
    QList<ProjectEntry> finished() const { return group(ProjectEntry::Finished); }
    // The project in progress (the first, should a list file name several),
    // nullptr when there is none.
    const ProjectEntry *current() const;
    // The entries whose address is url, or that were made from url and led
    // elsewhere by a redirection (ServerInfo::askedAddress), in the order of
    // entries().
    QList<ProjectEntry> findByAddress(const QString &url) const;

    // Rows of the main list: the first in-progress entry (when there is one),
    // then the waiting projects in queue order.
    QList<ListRow> rowsMain() const;
    // Rows of the finished list, most recently finished first.
    QList<ListRow> rowsFinished() const;

    // Row numbers count from 1. In the main list, row 1 is the project in
    // progress while there is one (-1 here) and row r is waiting entry r - 2;
    // otherwise row r is waiting entry r - 1.
    int waitingIndexOfMainRow(int row) const;

    // Paths inside the store.
    QString folder() const { return m_folder; }
    QString listFilePath() const;
    QString projectDir(const QString &name) const;
    QString projectFilePath(const QString &name) const;

    // Whether name can be a project folder of this store: not empty, not "." or
    // "..", no "/", "\" or control character.
    static bool isUsableName(const QString &name);

    // The list file's names, from its text: the text before each CR LF; text
    // after the last CR LF is not a name.
    static QStringList namesOfListText(const QByteArray &text);

    // List file operations. Each reads the whole file and writes it back whole.
    // Appends name + CR LF (an absent file reads as empty; a last line lacking
    // its CR LF is not a project and is dropped rather than glued to the name).
    // An unusable name is refused (false).
    bool appendToListFile(const QString &name);
    // Removes the first line equal to name, with its CR LF; a name contained in
    // another line never matches it. Returns false when no line matched or the
    // file could not be written.
    bool removeFromListFile(const QString &name);
    // Writes the names of entries() (finished, in progress, waiting), each +
    // CR LF, replacing the list file.
    bool rewriteListFile();

    // Reads the project file whole; ok (when given) tells whether it could be
    // read.
    QByteArray readProjectFile(const QString &name, bool *ok = nullptr) const;
    // Creates the project folder when missing and writes its project file.
    bool writeProjectFile(const QString &name, const QByteArray &text);
    // Keeps the project file's text before its status line and appends
    // "status:" + digit + CR LF. A missing or unreadable project file is left
    // alone (false). error (when given) says which file failed and why.
    bool rewriteStatus(const QString &name, int digit, QString *error = nullptr);
    // A file whose size the server did not say turned out bytes long: the
    // project's record (with the pack size that length gives) and its entry
    // say so from now on.
    bool recordSize(const QString &name, qint64 bytes, qint64 packSize, QString *error = nullptr);

    // Stores a confirmed new project: its folder and project file, what the
    // probe learnt about the server beside it (ServerInfo), its line in the list
    // file, and a new last waiting entry (name, url, bytes). A failing write is skipped and the next step runs, so
    // the lists are updated even when the disk refused. Returns whether all
    // three files were written (failure, when given, names the first that was
    // not, and why); an unusable name (see isUsableName) changes nothing.
    bool addNewProject(const QString &name, const QByteArray &projectText, const QString &url,
                       qint64 bytes, const ServerInfo &server = ServerInfo(), QString *failure = nullptr);

    // Deletes a project: its folder and everything in it (with its
    // statistics), its line in the list file (whole line only) and its entry.
    // A file or folder that cannot be removed is skipped and the next step
    // runs. An unusable name (see isUsableName) changes nothing. Returns
    // whether an entry held the project. Stopping a running project is the
    // queue's part (ProjectQueue::cancel).
    bool removeProject(const QString &name);

    // Moves waiting entry from to index to (both counted within the waiting
    // group), then rewrites the list file. False when either index is outside
    // the group.
    bool moveWaiting(int from, int to);

    // The first waiting project named name becomes the project in progress
    // (after any other) and its project file says status 0; a file that cannot
    // be rewritten leaves the entry moved all the same. False when no waiting
    // project has that name.
    bool start(const QString &name);
    // The project in progress named name is finished: its project file says
    // status 2, then it becomes the last finished entry. When the file cannot
    // be rewritten nothing changes (false; error says why).
    bool finish(const QString &name, QString *error = nullptr);
    // The project in progress named name waits again, first in the queue, and
    // its project file says status 1. False when no project in progress has
    // that name.
    bool requeue(const QString &name);

signals:
    void listsChanged();

private:
    QList<ProjectEntry> group(int status) const;
    // Reads the project file of name and writes change(its text) in its place.
    bool rewriteProjectFile(const QString &name, const std::function<QByteArray(const QByteArray &)> &change,
                            QString *error);
    // Index in m_entries of the first entry named name with that status, -1
    // when none.
    int indexOf(const QString &name, int status) const;
    // Index in m_entries where the group of that status ends.
    int endOf(int status) const;
    // Removes the folders of projects whose creation was cut short before
    // they were listed.
    void dropUnfinishedCreations(const QByteArray &listText);

    QString m_folder; // ends with "/"
    QList<ProjectEntry> m_entries;
};
