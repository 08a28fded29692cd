#pragma once
#include <QString>

// Why a running download stopped on its own, so that a user is told what to do
// and a script can tell the cases apart.
enum class DownloadFailure {
    None,
    Network,        // the server could not be reached or kept failing: resume later
    LocalWrite,     // a file could not be written here (disk full, read-only, folder gone)
    ServerChanged,  // the file on the server changed or disappeared
    Certificate,    // the server's TLS certificate was refused
    NoRoom,         // the disk has less free space than is left to fetch
};

// What the user is told. detail: "file: reason" for LocalWrite, the server's
// answer for ServerChanged, the certificate's problem and host for Certificate,
// "what is left|what is free|folder" for NoRoom; unused for Network.
QString downloadFailureText(DownloadFailure kind, const QString &detail);
