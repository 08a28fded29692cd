#include "core/rounding.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace {
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
} // namespace

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
