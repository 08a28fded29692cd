#pragma once
#include <QtGlobal>

#include <string>

// Rounding half away from zero of a double taken as the decimal it was meant
// to be: written with 15 significant digits (the precision a double carries
// reliably), so that 1.005, stored as 1.00499999999999989..., rounds to 1.01.
// The engine's figures (percentages, speeds, clock stamps) and the number
// texts of the view round the same way.

// The decimal digits of |value| x 10^decimals, rounded half away from zero.
// When 15 digits do not reach past the last decimal asked for (values from
// 10^14 up, or many decimals), the exact decimal of the double is rounded
// instead, so a large value is never rounded twice nor loses its integer digits.
std::string roundedMagnitude(double value, int decimals);
// Rounds half away from zero (of the 15-digit decimal, as above); NaN gives 0,
// values beyond the qint64 range give its nearest end.
qint64 roundHalfAway(double value);
