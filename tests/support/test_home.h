#pragma once
#include <QString>
#include <QtGlobal>

#include <utility>

#include "core/settings.h"

// Everything the desktop program reads or writes (the hand-off socket, its
// settings, projects, browser manifests and profiles) goes into dir, with
// the options set so that no first-run question comes up.
inline void useOwnHome(const QString &dir)
{
    for (const char *var : {"HOME", "XDG_RUNTIME_DIR"})
        qputenv(var, dir.toUtf8());
    qputenv("ZOV_KESTRA_HOME", (dir + "/home").toUtf8());
    qputenv("XDG_CONFIG_HOME", (dir + "/config").toUtf8());
    Settings::setApplicationName("zov-kestra-download");
    for (auto [key, value] : {std::pair{"FilePath", dir + "/in/"}, {"packsize", "512000"},
                              {"modemspeed", "56"}, {"Tray", "0"}})
        Settings::write(QString::fromLatin1(key), value);
}
