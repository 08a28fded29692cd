#include "core/settings.h"

#include "core/program_folder.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>

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

// A program killed while it wrote its settings leaves the settings' lock file
// behind, empty when the kill came between its creation and its first line;
// the next program then waits 30 s for it to grow old, deaf to Ctrl-C. A lock
// that is empty or names a process that no longer runs is removed first.
void removeDeadLock(const QString &settingsFile)
{
    const QString lock = settingsFile + QStringLiteral(".lock");
    QFile f(lock);
    if (!f.open(QIODevice::ReadOnly))
        return;
    const QByteArray first = f.readLine().trimmed();
    bool ok = false;
    const qint64 pid = first.toLongLong(&ok);
    if (first.isEmpty() || (ok && pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH))
        QFile::remove(lock);
}

QString openedFile()
{
    const QString file = Settings::filePath();
    removeDeadLock(file);
    return file;
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
    QSettings s(openedFile(), QSettings::IniFormat);
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
    QSettings s(openedFile(), QSettings::IniFormat);
    // A value that is there already is not written again: every start of a
    // project writes its options, and each write locks and rewrites the file.
    if (s.contains(keyOf(key)) && s.value(keyOf(key)).toString() == value)
        return;
    s.setValue(keyOf(key), value);
    s.sync();
}

void Settings::write(const QString &key, qint64 value)
{
    write(key, QString::number(value));
}

bool Settings::contains(const QString &key)
{
    QSettings s(openedFile(), QSettings::IniFormat);
    return s.contains(keyOf(key));
}

QString Settings::filePathSetting()
{
    return read(QStringLiteral("FilePath"), ProgramFolder::defaultReceived());
}

qint64 Settings::packSize()
{
    // A size below one byte is no choice.
    const qint64 size = readInt(QStringLiteral("packsize"), Default::packSize);
    return size > 0 ? size : Default::packSize;
}

QString Settings::caCertificateFile()
{
    return read(QStringLiteral("CaCertificate"), QString());
}

QString Settings::proxy()
{
    return read(QStringLiteral("Proxy"), QLatin1String(Default::proxy));
}

QByteArray Settings::userAgent()
{
    // Browser lines hold commas, which an INI file written by hand without
    // quotes turns into a list: its parts are joined back.
    QSettings s(openedFile(), QSettings::IniFormat);
    const QVariant v = s.value(keyOf(QStringLiteral("UserAgent")));
    QString text = v.typeId() == QMetaType::QStringList ? v.toStringList().join(QStringLiteral(", ")) : v.toString();
    text.removeIf([](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
    text = text.trimmed();
    return text.isEmpty() ? QByteArray(DefaultUserAgent) : text.toUtf8();
}

qint64 toInteger(const QString &text, qint64 def)
{
    bool ok = false;
    const qint64 v = text.trimmed().toLongLong(&ok);
    return ok ? v : def;
}
