#include "core/single_instance.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>

SingleInstance::SingleInstance(const QString &applicationName)
{
    // Beside the settings store: whoever shares the settings shares the lock.
    QString dir = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (dir.isEmpty())
        dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QDir().mkpath(dir);
    m_path = dir + QLatin1Char('/') + applicationName + QStringLiteral(".lock");
    m_lock = std::make_unique<QLockFile>(m_path);
    m_lock->setStaleLockTime(0);
    m_acquired = m_lock->tryLock(0);
}

SingleInstance::~SingleInstance() = default;
