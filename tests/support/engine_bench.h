#pragma once
#include "core/settings.h"
#include "engine/download_manager.h"
#include "projects/project_file.h"
#include "support/test_files.h"

#include <QCryptographicHash>
#include <QHash>
#include <QDir>
#include <QTemporaryDir>

// Queues a project for url as the new-project dialog confirms it with the settings' options.
inline bool queueProject(DownloadManager &e, const QString &name, const QString &url, qint64 size, bool ftp = false)
{
    return e.queue().add(name, ProjectFile::build(ProjectFile::fromSettings(url, size, ftp)), url, size);
}

inline QByteArray sha256(const QByteArray &bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256); }

// The folders of an engine test under one temporary folder: the files a server serves (www), the program's own
// folder (home) and the received files (dest), the program and its settings pointed at them.
class EngineBench
{
public:
    QTemporaryDir dir;
    QString www() const { return dir.path() + "/www/"; }
    QString home() const { return dir.path() + "/home"; }
    QString dest() const { return dir.path() + "/received/"; }

    bool setUp(qint64 packSize)
    {
        qputenv("ZOV_KESTRA_HOME", home().toUtf8());
        qputenv("XDG_CONFIG_HOME", (dir.path() + "/config").toUtf8());
        Settings::setApplicationName("zov-kestra-download");
        Settings::write("FilePath", dest());
        Settings::write("packsize", QString::number(packSize));
        return dir.isValid() && QDir().mkpath(www()) && QDir().mkpath(home() + "/projects") && QDir().mkpath(dest());
    }

    // size random bytes served as www/<name>.bin and queued in e (loaded) for host/<name>.bin; the bytes.
    QByteArray serve(DownloadManager &e, const QString &name, qint64 size, const QString &host, bool ftp = false)
    {
        const QByteArray bytes = TestFiles::randomBytes(size, quint32(size) ^ qHash(name));
        if (!TestFiles::write(www() + name + ".bin", bytes) || !queueProject(e, name, host + "/" + name + ".bin", size, ftp))
            qFatal("cannot set up %s", qPrintable(name));
        return bytes;
    }
};
