#include "core/program_folder.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

namespace {
QString withoutTrailingSlash(QString p)
{
    p = QDir::cleanPath(p);
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    return p;
}
} // namespace

QString ProgramFolder::path()
{
    const QString home = qEnvironmentVariable("ZOV_KESTRA_HOME");
    if (!home.isEmpty())
        return withoutTrailingSlash(home);
    // The generic data folder ($XDG_DATA_HOME, else ~/.local/share), not the
    // application's own, so the name is the same for every executable.
    return withoutTrailingSlash(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                                + QStringLiteral("/zov-kestra-download"));
}

QString ProgramFolder::executableDir()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath());
}

QString ProgramFolder::projectsDir()
{
    return path() + QStringLiteral("/projects/");
}

QString ProgramFolder::projectDir(const QString &name)
{
    return projectsDir() + name + QLatin1Char('/');
}

QString ProgramFolder::defaultReceived()
{
    QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (downloads.isEmpty())
        downloads = QDir::homePath();
    return withoutTrailingSlash(downloads) + QLatin1Char('/');
}

QString ProgramFolder::lockPath()
{
    return path() + QStringLiteral("/zov-kestra.lock");
}
