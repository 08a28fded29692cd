#pragma once
#include <QString>

// "Start with the session": an XDG autostart entry
// $XDG_CONFIG_HOME/autostart/zov-kestra-download.desktop whose Exec line is the
// program folder + "/" + the executable's base name + " -Startwin-".
class Autostart
{
public:
    static QString entryPath();
    static QString expectedValue();
    // The Exec value of the entry, or an empty text when there is none.
    static QString read();
    static bool write();
    static bool remove();
};
