#pragma once
#include <QByteArray>
#include <QString>

#include "core/settings.h"

// One project as its project file "project.zov" records it. Sizes are 64-bit so
// that files above 2 GiB are ordinary projects. Colours are packed as
// blue * 65536 + green * 256 + red, like the settings.
struct ProjectRecord
{
    QString url;                 // address without the scheme: host/dir/file.zip
    qint64 bytes = 0;            // file size
    QString path;                // destination folder, ends with "/"
    qint64 packsize = Settings::Default::packSize;        // pack size used for this project
    int showmodem = Settings::Default::showModem;         // 1: graphs draw the line-speed reference
    qint64 bar1back = Settings::Default::mainBarBack;     // whole-file bar background
    qint64 bar1for = Settings::Default::mainBarFore;      // whole-file bar fill
    qint64 bar2back = Settings::Default::slotBarBack;     // slot bars background
    qint64 bar2for = Settings::Default::slotBarFore;      // slot bars fill
    qint64 graphback = Settings::Default::graphBack;      // graph background
    qint64 graphfor = Settings::Default::graphFore;       // graph curve
    qint64 graphmodem = Settings::Default::graphModem;    // graph line-speed reference
    int type = 0;                // 0 HTTP, 1 FTP, 2 HTTPS
    int status = 1;              // 0 in progress, 1 waiting, 2 finished; -1 unreadable
};

// Pure functions on the text of a project file: fourteen lines "key" + value +
// CR LF, keys case-sensitive, no blanks around the colon. The text is kept as
// bytes; values are UTF-8.
class ProjectFile
{
public:
    // The fourteen lines in their fixed order, each ended by CR LF.
    static QByteArray build(const ProjectRecord &record);

    // A new project's record: the address and size found by the probe, the
    // options (destination, pack size, line-speed reference, colours) taken from
    // the settings store with their defaults, status 1 (waiting). An address
    // given as "https://h/p" is kept as "h/p" with Type 2.
    static ProjectRecord fromSettings(const QString &url, qint64 bytes, bool ftp);

    // A running project's own options become the settings while it runs: each
    // key the text has is written to its setting, a key it lacks leaves the
    // setting as it was. The pack size is the exception: it stays the
    // project's own (packSize; 0 when the text has none), and the user's
    // choice for later projects is kept. ftp tells whether Type is 1.
    static void applyToSettings(const QByteArray &text, qint64 *packSize, bool *ftp);

    // The address as the lists show and the engine reads it: the file's url,
    // with "https://" before it when the project is an HTTPS one.
    static QString listedAddress(const QString &url, int type);

    // The value of key: the text after the first occurrence of key at or after
    // from, up to (not including) the next CR LF, or to the end of the text when
    // no CR LF follows. A null string when key does not occur. end (when given)
    // receives the index just past that CR LF (the start of the next line), or
    // -1 when key does not occur; it is where a reader taking fields in file
    // order searches for the next key, so that a value holding the text of a
    // later key (a folder named "status:x") is never taken for that key.
    static QString field(const QByteArray &text, const QByteArray &key, int from = 0,
                         int *end = nullptr);

    // Every field, taken in file order: each key is searched after the line of
    // the field before it that was found. A missing field keeps its default,
    // a number that does not read as one keeps its default too. The status is
    // the digit after "status:", -1 when there is none.
    static ProjectRecord parse(const QByteArray &text);

    // Index of the status line's "status:": the first occurrence that starts a
    // line (at the start of the text or right after a CR LF); -1 when none does.
    // Only the status line starts with it, so a value that merely contains the
    // text is never mistaken for the status.
    static int statusPosition(const QByteArray &text);

    // The status digit (0..9) of the status line, -1 when there is no status
    // line or no digit after it.
    static int status(const QByteArray &text);

    // The text with its status replaced: everything before the status line is
    // kept and "status:" + digit + CR LF is appended, so exactly one status line
    // ends the text whatever followed the old one. A text without a status line
    // is kept whole and gets the status line appended (after a CR LF of its own
    // when its last line lacks one, so the status stays a line).
    static QByteArray withStatus(const QByteArray &text, int digit);
};
