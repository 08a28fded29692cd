#include "display/formatters.h"

#include <QLocale>
#include <QtTest>

#include <cmath>
#include <limits>

// Sizes, speeds and durations as the windows show them, and the pattern
// formatter under them. Numbers use the default QLocale, so each case chooses
// its locale explicitly.
class TestFormatters : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void cleanupTestCase() { QLocale::setDefault(QLocale::system()); }

    void sizes_data();
    void sizes();
    void sizesFollowTheLocale_data();
    void sizesFollowTheLocale();
    void speeds_data();
    void speeds();
    void durations_data();
    void durations();
    void patterns_data();
    void patterns();
    void roundingHalfAway_data();
    void roundingHalfAway();
};

void TestFormatters::sizes_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("zero") << qint64(0) << "0 Bytes";
    QTest::newRow("one") << qint64(1) << "1 Bytes";
    QTest::newRow("last bytes") << qint64(1023) << "1023 Bytes";
    QTest::newRow("negative") << qint64(-1) << "-1 Bytes";
    QTest::newRow("large negative") << qint64(-5000000) << "-5000000 Bytes";
    QTest::newRow("first Kb") << qint64(1024) << "1.00 Kb";
    QTest::newRow("1.5 Kb") << qint64(1536) << "1.50 Kb";
    // 1535 / 1024 = 1.49902...
    QTest::newRow("just under 1.5 Kb") << qint64(1535) << "1.50 Kb";
    // 1152 / 1024 = 1.125 exactly: half away from zero, not to even.
    QTest::newRow("Kb half") << qint64(1152) << "1.13 Kb";
    // 1160 / 1024 = 1.1328125
    QTest::newRow("Kb below half") << qint64(1160) << "1.13 Kb";
    QTest::newRow("Kb has no separator") << qint64(1023999) << "1000.00 Kb";
    QTest::newRow("first Mb") << qint64(1024000) << "1.00 Mb";
    // The Mb is 1000 x 1024 bytes, not 1024 x 1024.
    QTest::newRow("MiB is not Mb") << qint64(1048576) << "1.02 Mb";
    // 1029120 / 1024000 = 1.005 exactly as a decimal, not as a double.
    QTest::newRow("Mb half") << qint64(1029120) << "1.01 Mb";
    QTest::newRow("Mb just under half") << qint64(1029119) << "1.00 Mb";
    QTest::newRow("thousands") << qint64(1234567890) << "1,205.63 Mb";
    QTest::newRow("above 32 bits") << qint64(5000000000) << "4,882.81 Mb";
    QTest::newRow("millions") << qint64(1024000000000) << "1,000,000.00 Mb";
    QTest::newRow("largest") << std::numeric_limits<qint64>::max() << "9,007,199,254,740.99 Mb";
}

void TestFormatters::sizes()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, expected);
    QCOMPARE(Format_Taille(bytes), expected);
}

void TestFormatters::sizesFollowTheLocale_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("expected");

    const QLocale de(QLocale::German, QLocale::Germany);
    QTest::newRow("de Kb") << de << qint64(1536) << "1,50 Kb";
    QTest::newRow("de Mb") << de << qint64(1234567890) << "1.205,63 Mb";
    QTest::newRow("de bytes") << de << qint64(1023) << "1023 Bytes";

    const QLocale fr(QLocale::French, QLocale::France);
    QTest::newRow("fr Mb") << fr << qint64(1024000000000)
                           << "1" + fr.groupSeparator() + "000" + fr.groupSeparator() + "000,00 Mb";

    // The C locale leaves out group separators in QLocale::toString; the
    // pattern still asks for them.
    QTest::newRow("C Mb") << QLocale::c() << qint64(1234567890) << "1,205.63 Mb";
}

void TestFormatters::sizesFollowTheLocale()
{
    QFETCH(QLocale, locale);
    QFETCH(qint64, bytes);
    QFETCH(QString, expected);
    QLocale::setDefault(locale);
    QCOMPARE(Format_Taille(bytes), expected);
    QCOMPARE(Format_Vitesse(bytes), bytes < 1024 ? expected : expected + "/s");
}

void TestFormatters::speeds_data()
{
    QTest::addColumn<qint64>("bytesPerSecond");
    QTest::addColumn<QString>("expected");

    QTest::newRow("zero") << qint64(0) << "0 Bytes";
    QTest::newRow("bytes have no /s") << qint64(500) << "500 Bytes";
    QTest::newRow("last bytes") << qint64(1023) << "1023 Bytes";
    QTest::newRow("negative") << qint64(-3) << "-3 Bytes";
    QTest::newRow("first Kb") << qint64(1024) << "1.00 Kb/s";
    QTest::newRow("2 Kb") << qint64(2048) << "2.00 Kb/s";
    QTest::newRow("Kb half") << qint64(1152) << "1.13 Kb/s";
    QTest::newRow("last Kb") << qint64(1023999) << "1000.00 Kb/s";
    QTest::newRow("first Mb") << qint64(1024000) << "1.00 Mb/s";
    QTest::newRow("MiB") << qint64(1048576) << "1.02 Mb/s";
    QTest::newRow("thousands") << qint64(1234567890) << "1,205.63 Mb/s";
}

void TestFormatters::speeds()
{
    QFETCH(qint64, bytesPerSecond);
    QFETCH(QString, expected);
    QCOMPARE(Format_Vitesse(bytesPerSecond), expected);
}

void TestFormatters::durations_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("expected");

    QTest::newRow("zero") << qint64(0) << "00:00:00";
    QTest::newRow("one digit") << qint64(5) << "00:00:05";
    QTest::newRow("last seconds") << qint64(59) << "00:00:59";
    QTest::newRow("first minute") << qint64(60) << "00:01:00";
    QTest::newRow("minute and second") << qint64(61) << "00:01:01";
    QTest::newRow("last minutes") << qint64(3599) << "00:59:59";
    QTest::newRow("first hour") << qint64(3600) << "01:00:00";
    QTest::newRow("all fields") << qint64(3661) << "01:01:01";
    QTest::newRow("a day") << qint64(86400) << "24:00:00";
    QTest::newRow("last two-digit hours") << qint64(359999) << "99:59:59";
    QTest::newRow("hours are not capped") << qint64(360000) << "100:00:00";
    QTest::newRow("more hours") << qint64(3600000 + 62) << "1000:01:02";
}

void TestFormatters::durations()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, expected);
    QCOMPARE(Format_Temps(seconds), expected);
}

void TestFormatters::patterns_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("expected");

    // "###": the bar percentages; nothing at all for a value that rounds to 0.
    QTest::newRow("### zero") << 0.0 << "###" << "";
    QTest::newRow("### below half") << 0.4 << "###" << "";
    QTest::newRow("### half") << 0.5 << "###" << "1";
    QTest::newRow("### 49.5") << 49.5 << "###" << "50";
    QTest::newRow("### 50.4") << 50.4 << "###" << "50";
    QTest::newRow("### 99.5") << 99.5 << "###" << "100";
    QTest::newRow("### 100") << 100.0 << "###" << "100";
    QTest::newRow("### no separator") << 1234567.0 << "###" << "1234567";
    QTest::newRow("### negative half") << -0.5 << "###" << "-1";
    QTest::newRow("### negative to zero") << -0.4 << "###" << "";

    // "00": at least two digits.
    QTest::newRow("00 zero") << 0.0 << "00" << "00";
    QTest::newRow("00 one digit") << 7.0 << "00" << "07";
    QTest::newRow("00 two digits") << 59.0 << "00" << "59";
    QTest::newRow("00 three digits") << 123.0 << "00" << "123";
    QTest::newRow("00 half") << 2.5 << "00" << "03";
    QTest::newRow("00 negative") << -5.0 << "00" << "-05";

    // Decimals, with values whose binary double sits just below the half.
    QTest::newRow("0.00 1.005") << 1.005 << "0.00" << "1.01";
    QTest::newRow("0.00 2.675") << 2.675 << "0.00" << "2.68";
    QTest::newRow("0.00 exact half") << 1.125 << "0.00" << "1.13";
    QTest::newRow("0.00 negative half") << -1.125 << "0.00" << "-1.13";
    QTest::newRow("0.00 no minus for zero") << -0.001 << "0.00" << "0.00";
    QTest::newRow("0.00 pads") << 3.0 << "0.00" << "3.00";
    QTest::newRow("0.00 tiny") << 1e-300 << "0.00" << "0.00";
    QTest::newRow("0.0 half") << 0.05 << "0.0" << "0.1";
    QTest::newRow("0.0 1.45") << 1.45 << "0.0" << "1.5";
    QTest::newRow("0.0 carry") << 9.96 << "0.0" << "10.0";

    // Grouped.
    QTest::newRow("grouped zero") << 0.0 << "###,###,##0.00" << "0.00";
    QTest::newRow("grouped below one") << 0.5 << "###,###,##0.00" << "0.50";
    QTest::newRow("grouped carry into group") << 999.995 << "###,###,##0.00" << "1,000.00";
    QTest::newRow("grouped millions") << 1234567.891 << "###,###,##0.00" << "1,234,567.89";
    QTest::newRow("grouped negative") << -1234.5 << "###,###,##0.00" << "-1,234.50";

    // Large values keep all their integer digits and their half.
    QTest::newRow("### 16 digits") << 1234567890123456.0 << "###" << "1234567890123456";
    QTest::newRow("### large half") << 1e15 + 0.5 << "###" << "1000000000000001";
    QTest::newRow("### large below half") << 1e14 + 0.46875 << "###" << "100000000000000";
    QTest::newRow("### beyond 64 bits") << 1e20 << "###" << "100000000000000000000";
}

void TestFormatters::patterns()
{
    QFETCH(double, value);
    QFETCH(QString, pattern);
    QFETCH(QString, expected);
    QCOMPARE(formatPattern(value, pattern), expected);
}

void TestFormatters::roundingHalfAway_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<qint64>("expected");

    QTest::newRow("zero") << 0.0 << qint64(0);
    QTest::newRow("below half") << 0.49 << qint64(0);
    QTest::newRow("half") << 0.5 << qint64(1);
    QTest::newRow("negative half") << -0.5 << qint64(-1);
    QTest::newRow("even half goes up") << 2.5 << qint64(3);
    QTest::newRow("negative even half") << -2.5 << qint64(-3);
    QTest::newRow("above half") << 1.51 << qint64(2);
    QTest::newRow("large half") << 1e15 + 0.5 << qint64(1000000000000001);
    QTest::newRow("16 digits") << 1234567890123456.0 << qint64(1234567890123456);
    QTest::newRow("2^62") << 4611686018427387904.0 << qint64(4611686018427387904);
    QTest::newRow("beyond max") << 1e19 << std::numeric_limits<qint64>::max();
    QTest::newRow("beyond min") << -1e19 << std::numeric_limits<qint64>::min();
    QTest::newRow("min") << -9223372036854775808.0 << std::numeric_limits<qint64>::min();
    QTest::newRow("nan") << std::nan("") << qint64(0);
}

void TestFormatters::roundingHalfAway()
{
    QFETCH(double, value);
    QFETCH(qint64, expected);
    QCOMPARE(roundHalfAway(value), expected);
    // The pattern formatter rounds the same way.
    if (expected != 0 && std::isfinite(value) && std::fabs(value) < 1e18)
        QCOMPARE(formatPattern(value, "###"), QString::number(expected));
}

QTEST_GUILESS_MAIN(TestFormatters)
#include "test_formatters.moc"
