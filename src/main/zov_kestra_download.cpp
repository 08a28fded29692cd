#include "app/native_host.h"
#include "core/program_folder.h"
#include "core/settings.h"
#include "core/single_instance.h"
#include "core/termination_signals.h"
#include "core/url_hand_off.h"
#include "gui/form1.h"

#include <QApplication>
#include <QDir>
#include <QLockFile>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Makes the browser extension find its native host for this user; needs
    // no screen.
    if (argc == 2 && qstrcmp(argv[1], "--install-browser-hosts") == 0) {
        QCoreApplication core(argc, argv);
        const bool ok = NativeHost::installForUser();
        for (const QString &path : NativeHost::installedForUser())
            fprintf(ok ? stdout : stderr, "%s\n", qPrintable(path));
        return ok ? 0 : 1;
    }
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(true);
    // The installed desktop entry: the shell matches the windows to it (and to
    // its icon) by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("zov-kestra-download"));
    const QStringList arguments = app.arguments().mid(1);

    // A second copy ends at once. Started with an address, it hands the
    // address to the running copy, as UrlPass would; started by hand, it
    // brings the running copy's window to the front; started by the
    // session's autostart, it only ends.
    SingleInstance instance(Settings::applicationName());
    if (!instance.acquired()) {
        QString failure;
        bool ok = true;
        if (arguments.size() == 1 && arguments.first() != QLatin1String("-Startwin-"))
            ok = UrlHandOff::send(arguments.first(), 3000, &failure);
        else if (arguments.isEmpty())
            ok = UrlHandOff::requestShow(3000, &failure);
        else
            return 1;
        if (!ok)
            fprintf(stderr, "%s\n", qPrintable(failure));
        return ok ? 0 : 1;
    }

    // zov-kestra-get may be working on the same program folder.
    QDir().mkpath(ProgramFolder::path());
    QLockFile folderLock(ProgramFolder::lockPath());
    folderLock.setStaleLockTime(0);
    if (!folderLock.tryLock(0)) {
        const QString text = QStringLiteral("zov-kestra-get is downloading into %1; start ZOV Kestra Download "
                                            "again when it has finished.").arg(ProgramFolder::path());
        fprintf(stderr, "%s\n", qPrintable(text));
        QMessageBox::critical(nullptr, QStringLiteral("Error"), text);
        return 1;
    }

    Form1 window(arguments);
    // Ending the program the system's way is closing its window: a running
    // download is saved for the next start.
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::requested, &window, [&window] { window.close(); });
    // exit(), not quit(): quit() first asks every window to close, and the
    // shutdown window refuses.
    QObject::connect(&window, &Form1::shutdownFinished, &app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    window.show();
    return app.exec();
}
