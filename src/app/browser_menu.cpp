#include "app/browser_menu.h"

#include "app/native_host.h"
#include "core/program_folder.h"
#include "core/settings.h"
#include "core/text_file.h"

#include <QFile>
#include <QSettings>

namespace {
// The key's path; the "&" makes "D" the entry's access key.
const QString kKey = QStringLiteral("MenuExt/&Download with ZOV Kestra Download...");
} // namespace

QString BrowserMenu::scriptPath()
{
    return ProgramFolder::executableDir() + QStringLiteral("/IEDownloadScript.zov");
}

QString BrowserMenu::urlPassPath()
{
    return ProgramFolder::executableDir() + QStringLiteral("/UrlPass");
}

QString BrowserMenu::read()
{
    QSettings s(Settings::filePath(), QSettings::IniFormat);
    return s.value(kKey + QStringLiteral("/Default")).toString();
}

bool BrowserMenu::enable()
{
    {
        QSettings s(Settings::filePath(), QSettings::IniFormat);
        s.setValue(kKey + QStringLiteral("/Default"), QStringLiteral("file://") + doubleBackslashes(scriptPath()));
        s.setValue(kKey + QStringLiteral("/Contexts"), 34);
    }
    // The browsers of this system take links through the extension's native
    // host; the script serves the browser the entry was first made for.
    const bool hosts = NativeHost::installForUser();
    // Linux has no short names: the path is used as it is.
    QFile::remove(scriptPath());
    return TextFile::write(scriptPath(), scriptText(doubleBackslashes(urlPassPath()))) && hosts;
}

void BrowserMenu::disable()
{
    {
        QSettings s(Settings::filePath(), QSettings::IniFormat);
        s.remove(kKey);
    }
    QFile::remove(scriptPath());
    NativeHost::removeForUser();
}

QString BrowserMenu::doubleBackslashes(const QString &path)
{
    QString out = path;
    return out.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
}

QByteArray BrowserMenu::scriptText(const QString &urlPass)
{
    const QByteArray p = urlPass.toUtf8();
    const QList<QByteArray> lines = {
        R"(<SCRIPT TYPE="text/javascript" LANGUAGE="JavaScript1.2">)",
        "",
        R"(var VarFinalURL = "";)",
        "",
        "var varDoc = external.menuArguments.document;",
        "var varEvent = external.menuArguments.event;",
        "",
        "var varElementFromPoint = varDoc.elementFromPoint(varEvent.clientX, varEvent.clientY);",
        "var varAnchor = varElementFromPoint;",
        "",
        R"(while(varAnchor.tagName!="HTML" && varAnchor.tagName!="A" && varAnchor.tagName!="AREA"))",
        "{",
        "varAnchor=varAnchor.parentElement;",
        "}",
        R"(if(varEvent.type=="MenuExtUnknown" || varEvent.type=="MenuExtImage" || varEvent.type=="MenuExtAnchor"))",
        "{",
        R"(if(varAnchor.tagName=="A" || varAnchor.tagName=="AREA") {VarFinalURL = varAnchor.href;})",
        R"(if(varElementFromPoint.tagName=="IMG" && varAnchor.tagName=="HTML") {VarFinalURL = varElementFromPoint.src;})",
        "}",
        R"(if(VarFinalURL!=""))",
        "{",
        R"(var Wshell = new ActiveXObject ("WScript.Shell");)",
        R"(Wshell.run(")" + p + R"(" + ' ' + VarFinalURL);)",
        "}",
        "</SCRIPT>",
    };
    return lines.join("\r\n");
}
