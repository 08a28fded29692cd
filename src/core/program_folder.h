#pragma once
#include <QString>

// The program folder holds the project store ("projects/") and is the root of the
// default destination ("received/"). It is the executable's folder unless the
// environment variable ZOV_KESTRA_HOME names another one (tests, and installs whose
// executable folder is read-only). The path has no trailing separator.
class ProgramFolder
{
public:
    static QString path();
    // The folder that holds the executables themselves (zov-kestra-download,
    // UrlPass): what the autostart entry and the browser script name.
    static QString executableDir();
    static QString projectsDir();          // path() + "/projects/"
    static QString projectDir(const QString &name); // projectsDir() + name + "/"
    static QString defaultReceived();      // path() + "/received/"
    // The lock that keeps the desktop program and zov-kestra-get from working
    // on one program folder at the same time.
    static QString lockPath();             // path() + "/zov-kestra.lock"
};
