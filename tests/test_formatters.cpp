#include "view/formatters.h"

#include <QtTest>

#include <cmath>
#include <limits>

class TestFormatters : public QObject
{
    Q_OBJECT

private slots:
    // Catches a threshold off by one, a Mb of 1024 x 1024, rounding of the
    // binary double or to even, and separators not taken from the locale.
    // Format_Vitesse shares the thresholds and only adds "/s" from the Kb on.
    void sizesSpeedsAndDurations()
    {
        const struct { const char *locale; qint64 bytes; const char *expected; } rows[] = {
            {"en_US", 1023, "1023 Bytes"}, {"en_US", -5000000, "-5000000 Bytes"}, {"en_US", 1024, "1.00 Kb"},
            {"en_US", 1152, "1.13 Kb"}, {"en_US", 1023999, "1000.00 Kb"}, {"en_US", 1024000, "1.00 Mb"},
            {"en_US", 1048576, "1.02 Mb"}, {"en_US", 1029120, "1.01 Mb"}, {"en_US", 1234567890, "1,205.63 Mb"},
            {"en_US", std::numeric_limits<qint64>::max(), "9,007,199,254,740.99 Mb"},
            {"de_DE", 1536, "1,50 Kb"}, {"de_DE", 1234567890, "1.205,63 Mb"},
            // QLocale leaves out group separators in C; the pattern still asks for them.
            {"C", 1234567890, "1,205.63 Mb"}};
        for (const auto &r : rows) {
            QLocale::setDefault(QLocale(QString::fromLatin1(r.locale)));
            const QString expected = QString::fromLatin1(r.expected);
            QCOMPARE(Format_Taille(r.bytes), expected);
            QCOMPARE(Format_Vitesse(r.bytes), r.bytes < 1024 ? expected : expected + "/s");
        }
        // Durations: a carry lost between fields, hours capped at two digits.
        const std::pair<qint64, const char *> durations[] = {
            {0, "00:00:00"}, {59, "00:00:59"}, {60, "00:01:00"}, {3599, "00:59:59"}, {3600, "01:00:00"},
            {360000, "100:00:00"}};
        for (const auto &[seconds, expected] : durations)
            QCOMPARE(Format_Temps(seconds), QString::fromLatin1(expected));
    }

    // Catches rounding of the binary double (1.005 is stored below the half),
    // to even, a minus on zero, a lost carry, and digits lost past 64 bits.
    void patternsAndRounding()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        const struct { double value; const char *pattern, *expected; } rows[] = {
            // "###" is the bar percentage: nothing at all for a value that rounds to 0.
            {0.4, "###", ""}, {0.5, "###", "1"}, {-0.5, "###", "-1"}, {1234567.0, "###", "1234567"},
            {2.5, "00", "03"}, {-5.0, "00", "-05"}, {1.005, "0.00", "1.01"}, {1.45, "0.0", "1.5"},
            {-1.125, "0.00", "-1.13"}, {-0.001, "0.00", "0.00"}, {9.96, "0.0", "10.0"},
            {0.0, "###,###,##0.00", "0.00"}, {999.995, "###,###,##0.00", "1,000.00"},
            {1e15 + 0.5, "###", "1000000000000001"}, {1e14 + 0.46875, "###", "100000000000000"},
            {1e20, "###", "100000000000000000000"}};
        for (const auto &r : rows)
            QCOMPARE(formatPattern(r.value, QString::fromLatin1(r.pattern)), QString::fromLatin1(r.expected));
        // roundHalfAway: overflow at the qint64 ends, NaN taken as a number.
        const std::pair<double, qint64> rounded[] = {
            {2.5, 3}, {-0.5, -1}, {1e15 + 0.5, 1000000000000001}, {4611686018427387904.0, 4611686018427387904},
            {1e19, std::numeric_limits<qint64>::max()}, {-1e19, std::numeric_limits<qint64>::min()}, {std::nan(""), 0}};
        for (const auto &[value, expected] : rounded)
            QCOMPARE(roundHalfAway(value), expected);
    }
};

QTEST_GUILESS_MAIN(TestFormatters)
#include "test_formatters.moc"
