// UrlPass <address>: hands an address to the running ZOV Kestra Download, which
// puts it in its address box and probes it as if the user had typed it.
#include "core/settings.h"
#include "core/url_hand_off.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The socket is named after the desktop program, not after this helper.
    Settings::setApplicationName(QStringLiteral("zov-kestra-download"));
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 1 || args.first().isEmpty()) {
        fprintf(stderr, "Usage: UrlPass <address>\n");
        return 2;
    }
    QString failure;
    if (!UrlHandOff::send(args.first(), 3000, &failure)) {
        fprintf(stderr, "UrlPass: %s\n", qPrintable(failure));
        return 1;
    }
    return 0;
}
