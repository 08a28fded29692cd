#pragma once
#include <QMetaType>

// Why a running download stopped on its own, so that a user is told what to do
// and a script can tell the cases apart.
enum class DownloadFailure {
    None,
    Network,        // the server could not be reached or kept failing: resume later
    LocalWrite,     // a file could not be written here (disk full, read-only, folder gone)
    ServerChanged,  // the file on the server changed or disappeared
    Certificate,    // the server's TLS certificate was refused
    NoRoom,         // the disk has less free space than is left to fetch
    NotPlaced,      // the joined file could not be moved to its name; it is kept whole
    AccessRefused,  // the server refused the file (401, 403): a login or the site's session is wanted
    ProxyRefused,   // the proxy would not carry the connection: the proxy is to be fixed
};

Q_DECLARE_METATYPE(DownloadFailure)

