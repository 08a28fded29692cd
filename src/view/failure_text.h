#pragma once
#include <QString>

#include "engine/download_failure.h"

// What the user is told when a download stopped on its own, from the failure
// the engine hands out. detail: "file: reason" for LocalWrite, the server's
// answer for ServerChanged, the certificate's problem and host for
// Certificate, "bytes left|bytes free|folder" for NoRoom, "reason|work file"
// for NotPlaced; unused for Network.
QString failureText(DownloadFailure kind, const QString &detail);
