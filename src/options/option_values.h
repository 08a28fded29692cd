#pragma once
#include <QString>
#include <QtGlobal>

// Every user option of section "options" that the options dialog edits, as plain
// values. Colours are packed blue * 65536 + green * 256 + red.
class OptionValues
{
public:
    // The three pack sizes the dialog offers ("500 Kb", "1 Mb", "2 Mb"; a "Kb" is
    // 1024 bytes, a "Mb" 1000 * 1024).
    static constexpr qint64 Pack500Kb = 512000;
    static constexpr qint64 Pack1Mb = 1024000;
    static constexpr qint64 Pack2Mb = 2048000;

    static constexpr qint64 White = 16777215;
    static constexpr qint64 Red = 255;
    static constexpr qint64 LightRed = 8421631; // 0x8080FF
    static constexpr qint64 Black = 0;

    QString filePath;               // "FilePath", ends with "/"
    qint64 packSize = Pack500Kb;    // "packsize", bytes
    QString modemSpeed = QStringLiteral("56"); // "modemspeed", Kbit/s as the user wrote it
    bool showModem = true;          // "ShowModem"
    qint64 mainBarreBack = White;   // "mainbarreback"
    qint64 mainBarreFor = Red;      // "mainbarrefor"
    qint64 secBarreBack = White;    // "secbarreback"
    qint64 secBarreFor = LightRed;  // "secbarrefor"
    qint64 graphBack = White;       // "graphback"
    qint64 graphFor = LightRed;     // "graphfor"
    qint64 graphModem = Black;      // "graphmodem"

    // Reads every option, each missing key giving its default.
    static OptionValues load();
    // Writes the options in the order the dialog's OK does: FilePath, packsize,
    // modemspeed, mainbarreback, secbarreback, mainbarrefor, secbarrefor,
    // graphback, graphfor, graphmodem, ShowModem. "packsize" is left as it is
    // when the value is not one of the three offered sizes (no option chosen).
    static void save(const OptionValues &values);

    static bool isOfferedPackSize(qint64 bytes);

    // Whether a typed line speed is a number: in the user's locale or with a
    // "." decimal point, blanks around it allowed. Empty text is not a number.
    static bool isNumeric(const QString &text);
    // The number a speed text stands for: the whole text when it is numeric,
    // otherwise its leading number ("12abc" is 12), otherwise 0.
    static double numberIn(const QString &text);

    bool operator==(const OptionValues &) const = default;
};
