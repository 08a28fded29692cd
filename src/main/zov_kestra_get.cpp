// zov-kestra-get: probes an address, makes a project of it in the program
// folder's store, downloads it with the four slots and joins the packs, showing
// one progress line. Exit status: 0 when the finished file is in place, 1 when
// the download paused (Ctrl-C, or the network kept failing: run it again), 2 for
// a probe failure or bad arguments, 3 when the program folder is busy, 4 when a
// file could not be written here, 5 when the file on the server changed or
// disappeared.
#include "core/program_folder.h"
#include "core/settings.h"
#include "display/formatters.h"
#include "engine/download_manager.h"
#include "engine/url_probe.h"
#include "projects/project_file.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {
enum ExitCode { Done = 0, Paused = 1, Refused = 2, Busy = 3, CannotWrite = 4, ServerChanged = 5 };

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &c, 1);
}

void say(const QString &text)
{
    QString lines = text;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    fprintf(stderr, "%s\n", qPrintable(lines));
    fflush(stderr);
}

class Progress
{
public:
    explicit Progress(bool terminal) : m_terminal(terminal) { m_clock.start(); }

    void show(const DownloadManager &e, bool last = false)
    {
        const qint64 total = e.run().Taille_Fichier;
        const qint64 have = last ? total : qMin(e.run().Taille_Recue, total);
        const double secs = m_clock.elapsed() / 1000.0;
        const qint64 rate = secs > 0.2 ? qint64(have / secs) : 0;
        const int pct = total > 0 ? int(roundHalfAway(100.0 * have / total)) : 100;
        const QString left = rate > 0 ? Format_Temps((total - have) / rate) : QStringLiteral("--:--:--");
        const QString line = QStringLiteral("%1% %2 of %3 %4 %5 left")
                                 .arg(pct, 3)
                                 .arg(Format_Taille(have), Format_Taille(total), Format_Vitesse(rate), left);
        if (m_terminal) {
            fprintf(stdout, "\r%-78s", qPrintable(line));
            if (last)
                fputc('\n', stdout);
        } else if (last || pct / 10 != m_lastDecile) {
            fprintf(stdout, "%s\n", qPrintable(line));
            m_lastDecile = pct / 10;
        }
        fflush(stdout);
    }

private:
    bool m_terminal;
    QElapsedTimer m_clock;
    int m_lastDecile = -1;
};
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zov-kestra-get"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Downloads one file over four connections."));
    parser.addHelpOption();
    QCommandLineOption destOpt(QStringLiteral("dest"), QStringLiteral("Folder that receives the file."),
                               QStringLiteral("DIR"));
    QCommandLineOption packOpt(QStringLiteral("pack-size"), QStringLiteral("Pack size in bytes."),
                               QStringLiteral("BYTES"));
    parser.addOption(destOpt);
    parser.addOption(packOpt);
    parser.addPositionalArgument(QStringLiteral("URL"), QStringLiteral("http://host/path/file or ftp://..."));
    parser.process(app);
    if (parser.positionalArguments().size() != 1) {
        say(QStringLiteral("usage: zov-kestra-get [--dest DIR] [--pack-size BYTES] URL"));
        return 2;
    }
    QString dest;
    if (parser.isSet(destOpt)) {
        dest = QDir(parser.value(destOpt)).absolutePath();
        if (!dest.endsWith(QLatin1Char('/')))
            dest += QLatin1Char('/');
    }
    qint64 packSize = 0;
    if (parser.isSet(packOpt)) {
        bool ok = false;
        packSize = parser.value(packOpt).toLongLong(&ok);
        if (!ok || packSize <= 0) {
            say(QStringLiteral("--pack-size wants a whole number of bytes above 0"));
            return 2;
        }
    }

    // The desktop program and this one never work on one program folder at once.
    QDir().mkpath(ProgramFolder::projectsDir());
    QLockFile folderLock(ProgramFolder::lockPath());
    folderLock.setStaleLockTime(0);
    if (!folderLock.tryLock(0)) {
        if (folderLock.error() == QLockFile::LockFailedError) {
            say(QStringLiteral("Another ZOV Kestra Download is working on %1.").arg(ProgramFolder::path()));
            return Busy;
        }
        // The lock file itself cannot be written: say why, in the system's words.
        QFile probe(ProgramFolder::projectsDir() + QStringLiteral(".write-test"));
        const QString reason = probe.open(QIODevice::WriteOnly) ? QStringLiteral("cannot create the lock file")
                                                                 : probe.errorString();
        probe.remove();
        say(QStringLiteral("Cannot write in the program folder %1: %2.").arg(ProgramFolder::path(), reason));
        return CannotWrite;
    }

    DownloadManager engine;
    engine.store().load();
    // A download an earlier run left in progress waits in the queue again.
    engine.requeueInProgress();
    UrlProbe &probe = engine.probe();
    const bool terminal = ::isatty(STDOUT_FILENO);
    Progress progress(terminal);
    int exitCode = 1;
    bool interrupted = false;

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&] {
            char c;
            [[maybe_unused]] ssize_t n = ::read(signalPipe[0], &c, 1);
            interrupted = true;
            engine.pauseDownload();
            if (terminal)
                fputc('\n', stdout);
            say(QStringLiteral("Stopped."));
            app.exit(Paused);
        });
    }

    QObject::connect(&engine, &DownloadManager::messageRequested, &app,
                     [](const QString &, const QString &text, bool) { say(text); });
    QObject::connect(&probe, &UrlProbe::failed, &app, [&](const QString &, const QString &text) {
        say(text);
        exitCode = Refused;
    });
    QObject::connect(&probe, &UrlProbe::succeeded, &app, [&](const ProbeResult &r) {
        if (r.ftp) {
            say(QStringLiteral("FTP downloads are not available from the command line yet."));
            exitCode = Refused;
            return;
        }
        ProjectRecord rec = ProjectFile::fromSettings(r.url, r.fileSize, r.ftp);
        if (!dest.isEmpty())
            rec.path = dest;
        rec.packsize = r.rangesSupported ? (packSize > 0 ? packSize : Settings::packSize()) : r.fileSize;
        if (!engine.store().addNewProject(r.projectName, ProjectFile::build(rec), r.url, r.fileSize,
                                          r.serverInfo())) {
            say(QStringLiteral("Cannot write the project %1 in %2.").arg(r.projectName, ProgramFolder::projectsDir()));
            exitCode = CannotWrite;
            return;
        }
        if (!engine.startNow(r.projectName)) {
            say(QStringLiteral("Cannot start the project %1.").arg(r.projectName));
            exitCode = Paused;
            return;
        }
        exitCode = -1; // running
    });
    QObject::connect(&probe, &UrlProbe::finished, &app, [&] {
        if (exitCode != -1)
            app.exit(exitCode);
    });
    auto *ticker = new QTimer(&app);
    ticker->setInterval(terminal ? 200 : 1000);
    QObject::connect(ticker, &QTimer::timeout, &app, [&] {
        if (engine.run().Downloading)
            progress.show(engine);
    });
    ticker->start();
    QObject::connect(&engine, &DownloadManager::projectFinished, &app,
                     [&](const QString &, const QString &finalFile) {
                         progress.show(engine, true);
                         engine.Timer_Start_Download->stop();
                         const bool ok = QFileInfo::exists(finalFile);
                         if (ok)
                             fprintf(stdout, "Saved %s\n", qPrintable(finalFile));
                         fflush(stdout);
                         app.exit(ok ? Done : CannotWrite);
                     });
    QObject::connect(&engine, &DownloadManager::downloadPaused, &app, [&] {
        if (interrupted)
            return;
        if (terminal)
            fputc('\n', stdout);
        switch (engine.lastFailure()) {
        case DownloadFailure::LocalWrite:
            app.exit(CannotWrite);
            break;
        case DownloadFailure::ServerChanged:
            app.exit(ServerChanged);
            break;
        default:
            say(QStringLiteral("The download stopped; run the same command again later."));
            app.exit(Paused);
        }
    });

    probe.start(parser.positionalArguments().first());
    return app.exec();
}
