#include "core/settings.h"

#include "core/program_folder.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {
QString &appName()
{
    static QString name;
    return name;
}

QString keyOf(const QString &key)
{
    return QStringLiteral("options/") + key;
}
} // namespace

void Settings::setApplicationName(const QString &name)
{
    appName() = name;
}

QString Settings::applicationName()
{
    if (appName().isEmpty()) {
        QString base = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
        if (base.isEmpty())
            base = QStringLiteral("zov-kestra-download");
        appName() = base;
    }
    return appName();
}

QString Settings::filePath()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return config + QLatin1Char('/') + applicationName() + QStringLiteral(".ini");
}

QString Settings::read(const QString &key, const QString &def)
{
    QSettings s(filePath(), QSettings::IniFormat);
    const QVariant v = s.value(keyOf(key));
    return v.isValid() ? v.toString() : def;
}

qint64 Settings::readInt(const QString &key, qint64 def)
{
    const QString text = read(key, QString());
    return text.isNull() ? def : toInteger(text, def);
}

void Settings::write(const QString &key, const QString &value)
{
    QSettings s(filePath(), QSettings::IniFormat);
    s.setValue(keyOf(key), value);
    s.sync();
}

void Settings::write(const QString &key, qint64 value)
{
    write(key, QString::number(value));
}

bool Settings::contains(const QString &key)
{
    QSettings s(filePath(), QSettings::IniFormat);
    return s.contains(keyOf(key));
}

QString Settings::filePathSetting()
{
    return read(QStringLiteral("FilePath"), ProgramFolder::defaultReceived());
}

qint64 Settings::packSize()
{
    return readInt(QStringLiteral("packsize"), 512000);
}

QString Settings::caCertificateFile()
{
    return read(QStringLiteral("CaCertificate"), QString());
}

qint64 toInteger(const QString &text, qint64 def)
{
    bool ok = false;
    const qint64 v = text.trimmed().toLongLong(&ok);
    return ok ? v : def;
}
