#pragma once
#include <QString>
#include <memory>

class QLockFile;

// One running copy per application name: a lock file in the user's configuration
// folder, beside the settings store. The lock is held for the life
// of this object; a stale lock of a crashed copy is taken over.
class SingleInstance
{
public:
    explicit SingleInstance(const QString &applicationName);
    ~SingleInstance();
    bool acquired() const { return m_acquired; }
    QString lockPath() const { return m_path; }

private:
    std::unique_ptr<QLockFile> m_lock;
    QString m_path;
    bool m_acquired = false;
};
