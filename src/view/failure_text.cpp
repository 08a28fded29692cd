#include "view/failure_text.h"

#include "view/formatters.h"

#include <QStringList>

QString failureText(DownloadFailure kind, const QString &detail)
{
    switch (kind) {
    case DownloadFailure::LocalWrite:
        return QStringLiteral("Cannot write %1.\r\nEvery byte already stored is kept. "
                              "Free some space or fix the folder, then click on the resume button !")
            .arg(detail);
    case DownloadFailure::ServerChanged:
        return QStringLiteral("The file on the server has changed or is no longer there (%1).\r\n"
                              "The download is stopped so that the two files never mix.")
            .arg(detail);
    case DownloadFailure::NoRoom: {
        const QStringList f = detail.split(QLatin1Char('\n'));
        return QStringLiteral("Not enough free space: %1 is left to download, %2 is free in %3.\r\n"
                              "Free some space, then click on the resume button !")
            .arg(Format_Taille(f.value(0).toLongLong()), Format_Taille(f.value(1).toLongLong()), f.value(2));
    }
    case DownloadFailure::NotPlaced: {
        const QStringList f = detail.split(QLatin1Char('\n'));
        return QStringLiteral("The finished file could not be put in place: %1.\r\nIt is kept whole as %2; "
                              "click on the resume button to try again.")
            .arg(f.value(0), f.value(1));
    }
    case DownloadFailure::AccessRefused:
        return QStringLiteral("The server refused access to the file (%1).\r\nEvery byte already stored is kept. "
                              "Give a user name and password (or the site's session), then resume.").arg(detail);
    case DownloadFailure::Certificate:
        return QStringLiteral("%1 !\r\nThe connection is not safe: the download is stopped.").arg(detail);
    case DownloadFailure::ProxyRefused:
        // A proxy that refused is named: the way to go on is to fix the proxy, not the connection.
        return QStringLiteral("%1 !\r\nFix the proxy (setting \"Proxy\" or the proxy variables), "
                              "then click on the resume button !").arg(detail);
    case DownloadFailure::Network:
        // What the system or the server said goes under the usual words.
        if (!detail.isEmpty())
            return QStringLiteral("Please check your Internet connection and then click on the resume button !\r\n%1.")
                .arg(detail);
        break;
    case DownloadFailure::None:
        break;
    }
    return QStringLiteral("Please check your Internet connection and then click on the resume button !");
}
