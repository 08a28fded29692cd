#pragma once
#include <QString>

#include "core/rounding.h"

// Number texts shown all over the program. "Kb" is 1024 bytes and "Mb" is
// 1 024 000 bytes (1000 x 1024). Rounding is half away from zero.
//
// Locale: the decimal point and the thousands separator come from a
// default-constructed QLocale, which is the user's locale (QLocale::system())
// unless QLocale::setDefault() chose another one. Digits and the minus sign are
// always the ASCII ones.
//
// Rounding of doubles: a double such as 1.005 is stored as 1.00499999999999989...,
// so rounding its binary value would give 1.00 where the user expects 1.01. The
// value is therefore first written as a decimal with 15 significant digits (the
// precision a double carries reliably, correctly rounded), and that decimal is
// rounded half away from zero, digit by digit. Where 15 digits do not reach one
// place past the last decimal shown (values of 10^12 and more with two
// decimals, 10^14 and more with none), the exact decimal
// of the double is rounded instead. Sizes and speeds do not go through doubles
// at all: their quotients are rounded exactly in integers.

// "1023 Bytes", "1.50 Kb", "1.02 Mb", "1,234.57 Mb"
QString Format_Taille(qint64 bytes);
// A file's size, "Unknown" for one whose server did not say it (negative).
QString fileSizeText(qint64 bytes);
// The same thresholds with " Bytes", " Kb/s", " Mb/s".
QString Format_Vitesse(qint64 bytesPerSecond);
// "00:00:59", "00:01:00", "100:00:00"
QString Format_Temps(qint64 seconds);

// value formatted with one of the patterns "00", "0.0", "0.00", "###" or
// "###,###,##0.00", rounded half away from zero, in the user's locale.
// In the part before the point, each "0" is a digit always shown (leading zeros
// fill up to that count), "#" a digit shown only when needed, and any "," asks
// for thousands separators; each "0" or "#" after the point is one decimal.
// "###" of a value that rounds to 0 is the empty text. A value that rounds to
// zero has no minus sign. NaN and infinities give the empty text.
QString formatPattern(double value, const QString &pattern);
