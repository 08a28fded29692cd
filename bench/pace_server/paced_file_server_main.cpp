// zk-pace-server --dir D [--port P] [--rate B/s] [--log FILE]
//
// Serves the files under D on 127.0.0.1 (see PacedFileServer), optionally
// pacing every connection at B bytes per second with no burst, and appending
// one line per response to FILE. Prints
// "listening on 127.0.0.1:PORT" once ready and serves until SIGTERM or SIGINT,
// then exits 0. The benchmarks start it to play a server that caps each
// connection.
#include "paced_file_server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>

#include <csignal>
#include <limits>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

// Only a write to the pipe here: the event loop reads it and quits.
void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

bool parseNumber(const QString &text, qint64 min, qint64 max, qint64 &out)
{
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    if (!ok || v < min || v > max)
        return false;
    out = v;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zk-pace-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "HTTP/1.1 file server on 127.0.0.1 with byte ranges, keep-alive and an exact "
        "per-connection rate limit (no burst)."));
    parser.addHelpOption();
    const QCommandLineOption dirOption(QStringLiteral("dir"), QStringLiteral("Folder whose files are served."),
                                       QStringLiteral("D"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("TCP port; 0 picks a free one."),
                                        QStringLiteral("P"), QStringLiteral("0"));
    const QCommandLineOption rateOption(QStringLiteral("rate"),
                                        QStringLiteral("Body bytes per second and connection; 0 = unlimited."),
                                        QStringLiteral("B/s"), QStringLiteral("0"));
    const QCommandLineOption logOption(QStringLiteral("log"),
                                       QStringLiteral("File that gets one line per response: connection, "
                                                      "request, method, target, status, body bytes."),
                                       QStringLiteral("FILE"));
    parser.addOptions({dirOption, portOption, rateOption, logOption});
    parser.process(app);

    const QString dir = parser.value(dirOption);
    qint64 port = 0;
    qint64 rate = 0;
    if (dir.isEmpty() || !QFileInfo(dir).isDir()) {
        std::fprintf(stderr, "zk-pace-server: --dir must name a folder\n");
        return 2;
    }
    if (!parseNumber(parser.value(portOption), 0, 65535, port)
        || !parseNumber(parser.value(rateOption), 0, std::numeric_limits<qint64>::max() / 2, rate)) {
        std::fprintf(stderr, "zk-pace-server: need 0 <= --port <= 65535 and --rate >= 0\n");
        return 2;
    }

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0) {
        std::perror("zk-pace-server: socketpair");
        return 1;
    }
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    PacedFileServer server;
    server.setRootDir(dir);
    server.setRate(rate);
    if (parser.isSet(logOption) && !server.setLogFile(parser.value(logOption))) {
        std::fprintf(stderr, "zk-pace-server: cannot write the log %s\n", qPrintable(parser.value(logOption)));
        return 1;
    }
    if (!server.start(static_cast<quint16>(port))) {
        std::fprintf(stderr, "zk-pace-server: cannot listen: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    std::printf("listening on 127.0.0.1:%u\n", unsigned(server.port()));
    std::fflush(stdout);

    const int rc = app.exec();
    server.stop();
    return rc;
}
