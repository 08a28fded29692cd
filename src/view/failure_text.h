#pragma once
#include <QString>

#include "engine/download_failure.h"

// What the user is told when a download stopped on its own, from the failure
// the engine hands out. detail: "file: reason" for LocalWrite, the server's
// answer for ServerChanged, the certificate's problem and host for
// Certificate, bytes left, bytes free and folder for NoRoom, the reason and the
// work file for NotPlaced (one per line); unused for Network.
QString failureText(DownloadFailure kind, const QString &detail);
