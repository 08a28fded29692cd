#pragma once
#include <QString>

// Splitting of the addresses the user gives. An address is kept without its
// scheme ("h/d/f.zip"); the host text keeps any ":port" written after it, the
// socket layer connects there.

// Returns the host of strUrl. Removes the scheme (the text up to and including
// the first "://") from strUrl itself and stores the path, with its leading "/",
// in *path: "/" when nothing follows the host, "" for an empty address.
QString Extract_URL(QString &strUrl, QString *path);

// The same steps; the project start keeps the path it gets here (Path_URL2) for
// the transfer slots, apart from the path of the address being probed.
QString Extract_URL2(QString &strUrl, QString *path);

// The text after the last "/" (the whole text when it holds no "/").
QString Extract_FileName(const QString &text);

// The base name of a file name: the text before its first ".". Empty when the
// name has no "." at all (no base name can be taken then) or starts with one.
QString Base_Name(const QString &fileName);

// True when text can name a file or folder inside another folder without
// pointing anywhere else: not empty, not "." or "..", no "/" or "\" and no
// control character.
bool Is_Safe_Name(const QString &text);
