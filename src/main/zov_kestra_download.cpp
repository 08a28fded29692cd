#include "app/settings.h"
#include "app/single_instance.h"
#include "app/ui/form1.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(true);
    const QStringList arguments = app.arguments().mid(1);

    // A second copy ends at once; it says why only when a user started it by
    // hand (no arguments), not when the session's autostart did.
    SingleInstance instance(Settings::applicationName());
    if (!instance.acquired()) {
        if (arguments.isEmpty()) {
            const QString text = QStringLiteral("You cannot open ZOV Kestra Download twice at the same time !");
            fprintf(stderr, "%s\n", qPrintable(text));
            fflush(stderr);
            QMessageBox::critical(nullptr, QStringLiteral("Error"), text);
        }
        return 1;
    }

    Form1 window(arguments);
    window.show();
    return app.exec();
}
