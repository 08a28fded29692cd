#include "view/formatters.h"

#include "core/rounding.h"

#include <QLocale>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

// What a pattern such as "###,###,##0.00" asks for.
struct NumberPattern
{
    int minIntegerDigits = 0; // the "0"s before the point
    bool grouping = false;    // a "," before the point
    int decimals = 0;         // the "0"s or "#"s after the point
};

NumberPattern parsePattern(const QString &pattern)
{
    NumberPattern p;
    bool afterPoint = false;
    for (const QChar c : pattern) {
        if (c == u'.') {
            afterPoint = true;
        } else if (afterPoint) {
            if (c == u'0' || c == u'#')
                ++p.decimals;
        } else if (c == u'0') {
            ++p.minIntegerDigits;
        } else if (c == u',') {
            p.grouping = true;
        }
    }
    return p;
}

// Lays out a number given as the decimal digits of |value| x 10^decimals
// (already rounded) according to the pattern.
QString layOut(bool negative, std::string digits, const NumberPattern &p)
{
    const auto firstNonZero = digits.find_first_not_of('0');
    digits.erase(0, firstNonZero == std::string::npos ? digits.size() : firstNonZero);
    if (digits.empty())
        negative = false; // nothing shows a "-0.00"
    if (digits.size() < size_t(p.decimals))
        digits.insert(0, size_t(p.decimals) - digits.size(), '0');

    std::string whole = digits.substr(0, digits.size() - size_t(p.decimals));
    const std::string fraction = digits.substr(digits.size() - size_t(p.decimals));
    if (whole.size() < size_t(p.minIntegerDigits))
        whole.insert(0, size_t(p.minIntegerDigits) - whole.size(), '0');

    const QLocale locale; // the user's locale, or the one set with QLocale::setDefault
    QString text;
    if (negative)
        text += u'-';
    for (size_t i = 0; i < whole.size(); ++i) {
        if (p.grouping && i > 0 && (whole.size() - i) % 3 == 0)
            text += locale.groupSeparator();
        text += QLatin1Char(whole[i]);
    }
    if (p.decimals > 0)
        text += locale.decimalPoint() + QString::fromLatin1(fraction.data(), qsizetype(fraction.size()));
    return text;
}

// n x 100 / d rounded half away from zero, exactly, for n >= 0 and d > 0.
qint64 hundredths(qint64 n, qint64 d)
{
    const qint64 q = n / d;
    const qint64 r = n % d;
    return q * 100 + (r * 200 + d) / (2 * d);
}

std::string digitsOf(quint64 magnitude)
{
    return std::to_string(magnitude);
}

QString formatAmount(qint64 n, const char *byteUnit, const char *kbUnit, const char *mbUnit)
{
    // The steps run in order and the last that applies wins, so each
    // threshold is checked from the largest down.
    if (n >= 1024000) {
        static const NumberPattern mb = parsePattern(QStringLiteral("###,###,##0.00"));
        return layOut(false, digitsOf(quint64(hundredths(n, 1024000))), mb)
               + QLatin1String(mbUnit);
    }
    if (n >= 1024) {
        static const NumberPattern kb = parsePattern(QStringLiteral("0.00"));
        return layOut(false, digitsOf(quint64(hundredths(n, 1024))), kb) + QLatin1String(kbUnit);
    }
    return QString::number(n) + QLatin1String(byteUnit);
}

// t with pattern "00", for durations, kept in integers.
QString twoDigits(qint64 t)
{
    static const NumberPattern p = parsePattern(QStringLiteral("00"));
    const quint64 magnitude = t < 0 ? 0 - quint64(t) : quint64(t);
    return layOut(t < 0, digitsOf(magnitude), p);
}

} // namespace

QString Format_Taille(qint64 bytes)
{
    return formatAmount(bytes, " Bytes", " Kb", " Mb");
}

QString fileSizeText(qint64 bytes)
{
    // A file whose server gave no length has no size until it is all in.
    return bytes < 0 ? QStringLiteral("Unknown") : Format_Taille(bytes);
}

QString Format_Vitesse(qint64 bytesPerSecond)
{
    return formatAmount(bytesPerSecond, " Bytes", " Kb/s", " Mb/s");
}

QString Format_Temps(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("00:00:") + twoDigits(seconds);
    const qint64 h = seconds / 3600;
    const qint64 m = seconds / 60 - 60 * h;
    const qint64 s = seconds - 60 * (seconds / 60);
    return twoDigits(h) + u':' + twoDigits(m) + u':' + twoDigits(s);
}

QString formatPattern(double value, const QString &pattern)
{
    if (!std::isfinite(value))
        return QString();
    const NumberPattern p = parsePattern(pattern);
    return layOut(value < 0, roundedMagnitude(value, p.decimals), p);
}
