#include "core/autostart.h"

#include "core/program_folder.h"
#include "core/settings.h"
#include "core/text_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

QString Autostart::entryPath()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return config + QStringLiteral("/autostart/zov-kestra-download.desktop");
}

QString Autostart::expectedValue()
{
    return ProgramFolder::executableDir() + QLatin1Char('/') + Settings::applicationName()
           + QStringLiteral(" -Startwin-");
}

QString Autostart::read()
{
    bool ok = false;
    const QByteArray text = TextFile::read(entryPath(), &ok);
    if (!ok)
        return QString();
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith("Exec="))
            return QString::fromUtf8(line.mid(5)).trimmed();
    }
    return QString();
}

bool Autostart::write()
{
    QDir().mkpath(QFileInfo(entryPath()).absolutePath());
    const QByteArray text = "[Desktop Entry]\nType=Application\nName=ZOV Kestra Download\nExec="
                            + expectedValue().toUtf8() + "\nX-GNOME-Autostart-enabled=true\n";
    return TextFile::write(entryPath(), text);
}

bool Autostart::remove()
{
    return QFile::remove(entryPath());
}
