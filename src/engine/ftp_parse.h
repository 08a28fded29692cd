#pragma once
#include <QByteArray>
#include <QString>

// Reading of FTP control-connection replies, as small pure functions over the
// raw bytes received.
class FtpParse
{
public:
    // Removes and returns the complete lines (each ended by LF) at the front of
    // buffer; a line still arriving stays in buffer.
    static QByteArray takeCompleteLines(QByteArray &buffer);

    // The three-digit reply code that starts line, or -1.
    static int replyCode(const QByteArray &line);
    // "NNN text" ends a reply; "NNN-text" opens a multi-line one.
    static bool isFinalReplyLine(const QByteArray &line);

    // The size rule of the probe: when text holds "213 ", *value gets the text
    // after its first occurrence up to the next CR LF (or the end), with trailing
    // characters removed while the last one is not a digit.
    static bool findSizeReply(const QByteArray &text, QByteArray *value);
    // A size value taken by findSizeReply as a 64-bit count; *ok is false when
    // it is not a plain decimal number or does not fit.
    static qint64 sizeValue(const QByteArray &value, bool *ok);

    // True when text holds any of the error codes that end a probe: 500 to 504,
    // 530, 532, 550 to 553. Matched anywhere in the text, as three digits.
    static bool containsErrorCode(const QByteArray &text);

    // The slots' side: what a data transfer needs from the control connection.
    // Every function takes any bytes at all and answers false (or 0, or -1)
    // for anything it cannot use.
    // One reply: its three-digit code and its text (the lines after the code,
    // CR LF removed, joined by "\n"; for a multi-line reply "123-..." up to the
    // line "123 ...", every line).
    struct Reply
    {
        int code = 0;
        QByteArray text;
    };

    // Takes the first complete reply from the start of buffer: returns the
    // number of bytes it used (the caller removes them), 0 when the reply is not
    // complete yet, and -1 when the bytes are not an FTP reply (no three digits
    // followed by " " or "-", or a reply line over 8 KiB). Lines end with LF,
    // with or without CR before it.
    static qsizetype takeReply(const QByteArray &buffer, Reply *reply);

    // The port of a 229 reply: "Entering Extended Passive Mode (|||6446|)".
    // The delimiter is the character after "(" (any of ASCII 33..126); the
    // port is 1..65535.
    static bool epsvPort(const QByteArray &replyText, quint16 *port);

    // The address and port of a 227 reply: "Entering Passive Mode
    // (127,0,0,1,25,10)", the six numbers 0..255 found anywhere in the text
    // (with or without parentheses); port = p1 * 256 + p2, 1..65535. host is
    // the dotted address.
    static bool pasvAddress(const QByteArray &replyText, QString *host, quint16 *port);

    // The argument of PORT for an IPv4 address and a port: the address with
    // its dots made commas, then p1 and p2 (the port's high and low byte).
    // "127.0.0.1", 1234 -> "127,0,0,1,4,210". Empty when the address is not
    // a dotted IPv4 address.
    static QByteArray portArgument(const QString &ipv4, quint16 port);
};
