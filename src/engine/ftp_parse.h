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
