// zov-kestra-native-host: the native messaging host of the browser extension.
// The browser starts it and talks to it over stdin and stdout; each address goes
// to the running ZOV Kestra Download as UrlPass would hand it over, and the
// program is started first when it is not running.
//
// zov-kestra-native-host --manifest chromium|firefox PATH prints the host
// manifest naming PATH (the installation writes the system-wide ones with it).
#include "app/native_host.h"
#include "core/program_folder.h"
#include "core/settings.h"
#include "core/url_hand_off.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <cstdio>
#include <unistd.h>

namespace {
// How long the program's probe of a caught download may take (a slow server,
// or a dialog the user has open first); the browser's own download waits, and
// goes on when no answer came.
constexpr int kProbeMs = 45000;

UrlHandOff::Outcome deliver(const NativeHost::Request &request, QString *why)
{
    const int probeMs = request.probe ? kProbeMs : 0;
    const auto outcome = UrlHandOff::send(request.address, request.headerLines, 1000, probeMs, why);
    if (outcome != UrlHandOff::Outcome::Unreachable)
        return outcome;
    // Not running: started now, it takes the address once its socket is open.
    // Its output must not reach the browser's pipe.
    QProcess program;
    program.setProgram(ProgramFolder::executableDir() + QStringLiteral("/zov-kestra-download"));
    program.setStandardInputFile(QProcess::nullDevice());
    program.setStandardOutputFile(QProcess::nullDevice());
    program.setStandardErrorFile(QProcess::nullDevice());
    if (!program.startDetached()) {
        *why = QStringLiteral("ZOV Kestra Download is not running and could not be started (%1)")
                   .arg(program.program());
        return UrlHandOff::Outcome::Unreachable;
    }
    return UrlHandOff::send(request.address, request.headerLines, 10000, probeMs, why);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Settings::setApplicationName(QStringLiteral("zov-kestra-download"));
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 3 && args.at(0) == QLatin1String("--manifest")) {
        const QByteArray text = NativeHost::manifest(args.at(1), args.at(2));
        fwrite(text.constData(), 1, size_t(text.size()), stdout);
        return 0;
    }
    // The browser passes its own arguments (the extension's origin, the
    // manifest's path); none of them changes what the host does.
    QFile in, out;
    if (!in.open(STDIN_FILENO, QIODevice::ReadOnly | QIODevice::Unbuffered)
        || !out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered))
        return 1;
    return NativeHost::serve(in, out, deliver);
}
