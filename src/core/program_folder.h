#pragma once
#include <QString>

// The program folder holds the program's data: the project store ("projects/")
// and the lock. It is $XDG_DATA_HOME/zov-kestra-download (~/.local/share/...)
// unless the environment variable ZOV_KESTRA_HOME names another one (tests,
// portable use, or a data folder kept from an older copy beside the
// executable). The path has no trailing separator.
class ProgramFolder
{
public:
    static QString path();
    // The folder that holds the executables themselves (zov-kestra-download,
    // UrlPass): what the autostart entry and the browser script name.
    static QString executableDir();
    static QString projectsDir();          // path() + "/projects/"
    static QString projectDir(const QString &name); // projectsDir() + name + "/"
    static QString defaultReceived();      // the user's download folder + "/"
    // The lock that keeps the desktop program and zov-kestra-get from working
    // on one program folder at the same time.
    static QString lockPath();             // path() + "/zov-kestra.lock"
};
