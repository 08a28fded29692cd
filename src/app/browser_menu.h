#pragma once
#include <QByteArray>
#include <QString>

// The browser's "Download with ZOV Kestra Download..." entry: a menu key in the
// per-user store (its default value names the script file, "Contexts" = 34 offers
// it on links and pictures) and the script IEDownloadScript.zov beside the
// executables, which runs UrlPass with the address under the pointer. The same
// switch writes the current user's native-host manifests for the extension.
class BrowserMenu
{
public:
    static QString scriptPath();              // executables' folder + "/IEDownloadScript.zov"
    static QString urlPassPath();             // executables' folder + "/UrlPass"
    // The key's default value; empty when there is none.
    static QString read();
    // Writes the key and the script; false when one of them failed.
    static bool enable();
    // Deletes the key and the script.
    static void disable();
    // The script's 25 lines for the given UrlPass path, CR LF between lines and
    // none after the last.
    static QByteArray scriptText(const QString &urlPass);
    // Every "\" written twice, as the key and the script want their paths.
    static QString doubleBackslashes(const QString &path);
};
