#include "core/program_folder.h"

#include <QCoreApplication>
#include <QDir>

QString ProgramFolder::path()
{
    const QString home = qEnvironmentVariable("ZOV_KESTRA_HOME");
    QString p = home.isEmpty() ? QCoreApplication::applicationDirPath() : home;
    p = QDir::cleanPath(p);
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    return p;
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
    return path() + QStringLiteral("/received/");
}

QString ProgramFolder::lockPath()
{
    return path() + QStringLiteral("/zov-kestra.lock");
}
