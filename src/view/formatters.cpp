#include "view/formatters.h"

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

// Adds one to a string of decimal digits.
void increment(std::string &digits)
{
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (*it != '9') {
            ++*it;
            return;
        }
        *it = '0';
    }
    digits.insert(digits.begin(), '1');
}

// The decimal digits of |value| x 10^decimals, rounded half away from zero.
//
// The value is taken as the decimal it was meant to be: written with 15
// significant digits, so that 1.005 (stored as 1.00499999999999989...) rounds
// to 1.01. When 15 digits do not reach past the last decimal asked for (values
// from 10^14 up, or many decimals), the exact decimal of the double is used
// instead, so a large value is never rounded twice nor loses its integer digits.
std::string roundedMagnitude(double value, int decimals)
{
    constexpr int significant = 15;
    const double magnitude = std::fabs(value);
    char buf[512];
    auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific,
                             significant - 1);
    std::string s(buf, res.ptr); // "d.dddddddddddddde+XX"
    const auto e = s.find('e');
    int exponent = 0;
    std::from_chars(s.data() + e + 1 + (s[e + 1] == '+' ? 1 : 0), s.data() + s.size(), exponent);

    // value = digits x 10^-fractionDigits
    std::string digits;
    int fractionDigits = 0;
    if (exponent + 1 + decimals < significant) {
        digits = s.substr(0, 1) + s.substr(2, e - 2);
        fractionDigits = significant - 1 - exponent;
    } else {
        // Every double of 1 or more has at most 52 binary, hence decimal,
        // fraction digits: 64 places hold it exactly.
        constexpr int places = 64;
        res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::fixed, places);
        s.assign(buf, res.ptr);
        digits = s.substr(0, s.size() - places - 1) + s.substr(s.size() - places);
        fractionDigits = places;
    }

    const int shift = decimals - fractionDigits;
    if (shift >= 0)
        return digits + std::string(size_t(shift), '0');
    const int keep = int(digits.size()) + shift;
    if (keep < 0)
        return "0";
    std::string kept = digits.substr(0, size_t(keep));
    if (digits[size_t(keep)] >= '5')
        increment(kept);
    return kept.empty() ? std::string("0") : kept;
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

qint64 roundHalfAway(double value)
{
    if (std::isnan(value))
        return 0;
    // From 2^53 on every double is a whole number already; only the ends of the
    // qint64 range need care there.
    if (std::fabs(value) >= 9007199254740992.0) {
        if (value >= 9223372036854775808.0)
            return std::numeric_limits<qint64>::max();
        if (value < -9223372036854775808.0)
            return std::numeric_limits<qint64>::min();
        return qint64(value);
    }
    const std::string digits = roundedMagnitude(value, 0);
    qint64 magnitude = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    return value < 0 ? -magnitude : magnitude;
}
