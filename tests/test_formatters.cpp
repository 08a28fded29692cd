#include "display/formatters.h"

#include <QLocale>
#include <QtTest>

#include <cmath>
#include <limits>

class TestFormatters : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void cleanupTestCase() { QLocale::setDefault(QLocale::system()); }

    // Format_Vitesse shares the thresholds and only adds "/s" from the Kb on.
    void sizesAndSpeeds_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("expected");

        QTest::newRow("speed bytes") << "en_US" << qint64(500) << "500 Bytes";
        QTest::newRow("last bytes") << "en_US" << qint64(1023) << "1023 Bytes";
        QTest::newRow("large negative") << "en_US" << qint64(-5000000) << "-5000000 Bytes";
        QTest::newRow("first Kb") << "en_US" << qint64(1024) << "1.00 Kb";
        QTest::newRow("2 Kb") << "en_US" << qint64(2048) << "2.00 Kb";
        // 1152 / 1024 = 1.125 exactly: half away from zero, not to even.
        QTest::newRow("Kb half") << "en_US" << qint64(1152) << "1.13 Kb";
        QTest::newRow("Kb has no separator") << "en_US" << qint64(1023999) << "1000.00 Kb";
        QTest::newRow("first Mb") << "en_US" << qint64(1024000) << "1.00 Mb";
        // The Mb is 1000 x 1024 bytes, not 1024 x 1024.
        QTest::newRow("MiB is not Mb") << "en_US" << qint64(1048576) << "1.02 Mb";
        // 1029120 / 1024000 = 1.005 exactly as a decimal, not as a double.
        QTest::newRow("Mb half") << "en_US" << qint64(1029120) << "1.01 Mb";
        QTest::newRow("thousands") << "en_US" << qint64(1234567890) << "1,205.63 Mb";
        QTest::newRow("millions") << "en_US" << qint64(1024000000000) << "1,000,000.00 Mb";
        QTest::newRow("largest") << "en_US" << std::numeric_limits<qint64>::max()
                                 << "9,007,199,254,740.99 Mb";
        QTest::newRow("de Kb") << "de_DE" << qint64(1536) << "1,50 Kb";
        QTest::newRow("de Mb") << "de_DE" << qint64(1234567890) << "1.205,63 Mb";
        // QLocale::toString leaves out group separators in C; the pattern still asks for them.
        QTest::newRow("C Mb") << "C" << qint64(1234567890) << "1,205.63 Mb";
    }

    void sizesAndSpeeds()
    {
        QFETCH(QString, locale);
        QFETCH(qint64, bytes);
        QFETCH(QString, expected);
        QLocale::setDefault(QLocale(locale));
        QCOMPARE(Format_Taille(bytes), expected);
        QCOMPARE(Format_Vitesse(bytes), bytes < 1024 ? expected : expected + "/s");
    }

    void durations_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("expected");
        QTest::newRow("zero") << qint64(0) << "00:00:00";
        QTest::newRow("last seconds") << qint64(59) << "00:00:59";
        QTest::newRow("first minute") << qint64(60) << "00:01:00";
        QTest::newRow("minute and second") << qint64(61) << "00:01:01";
        QTest::newRow("last minutes") << qint64(3599) << "00:59:59";
        QTest::newRow("first hour") << qint64(3600) << "01:00:00";
        QTest::newRow("last two-digit hours") << qint64(359999) << "99:59:59";
        QTest::newRow("hours are not capped") << qint64(360000) << "100:00:00";
    }

    void durations()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, expected);
        QCOMPARE(Format_Temps(seconds), expected);
    }

    void patterns_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("expected");

        // "###" is the bar percentage: nothing at all for a value that rounds to 0.
        QTest::newRow("### zero") << 0.0 << "###" << "";
        QTest::newRow("### below half") << 0.4 << "###" << "";
        QTest::newRow("### half") << 0.5 << "###" << "1";
        QTest::newRow("### no separator") << 1234567.0 << "###" << "1234567";
        QTest::newRow("### negative half") << -0.5 << "###" << "-1";
        QTest::newRow("00 half") << 2.5 << "00" << "03";
        QTest::newRow("00 negative") << -5.0 << "00" << "-05";
        // Values whose binary double sits just below the half.
        QTest::newRow("0.00 1.005") << 1.005 << "0.00" << "1.01";
        QTest::newRow("0.0 1.45") << 1.45 << "0.0" << "1.5";
        QTest::newRow("0.00 exact half") << 1.125 << "0.00" << "1.13";
        QTest::newRow("0.00 negative half") << -1.125 << "0.00" << "-1.13";
        QTest::newRow("0.00 no minus for zero") << -0.001 << "0.00" << "0.00";
        QTest::newRow("0.00 tiny") << 1e-300 << "0.00" << "0.00";
        QTest::newRow("0.0 carry") << 9.96 << "0.0" << "10.0";
        QTest::newRow("grouped zero") << 0.0 << "###,###,##0.00" << "0.00";
        QTest::newRow("grouped carry into group") << 999.995 << "###,###,##0.00" << "1,000.00";
        QTest::newRow("grouped millions") << 1234567.891 << "###,###,##0.00" << "1,234,567.89";
        // Large values keep all their integer digits and their half.
        QTest::newRow("### large half") << 1e15 + 0.5 << "###" << "1000000000000001";
        QTest::newRow("### large below half") << 1e14 + 0.46875 << "###" << "100000000000000";
        QTest::newRow("### beyond 64 bits") << 1e20 << "###" << "100000000000000000000";
    }

    void patterns()
    {
        QFETCH(double, value);
        QFETCH(QString, pattern);
        QFETCH(QString, expected);
        QCOMPARE(formatPattern(value, pattern), expected);
    }

    void roundingHalfAway_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("half") << 0.5 << qint64(1);
        QTest::newRow("negative half") << -0.5 << qint64(-1);
        QTest::newRow("even half goes up") << 2.5 << qint64(3);
        QTest::newRow("large half") << 1e15 + 0.5 << qint64(1000000000000001);
        QTest::newRow("2^62") << 4611686018427387904.0 << qint64(4611686018427387904);
        QTest::newRow("beyond max") << 1e19 << std::numeric_limits<qint64>::max();
        QTest::newRow("beyond min") << -1e19 << std::numeric_limits<qint64>::min();
        QTest::newRow("min") << -9223372036854775808.0 << std::numeric_limits<qint64>::min();
        QTest::newRow("nan") << std::nan("") << qint64(0);
    }

    void roundingHalfAway()
    {
        QFETCH(double, value);
        QFETCH(qint64, expected);
        QCOMPARE(roundHalfAway(value), expected);
    }
};

QTEST_GUILESS_MAIN(TestFormatters)
#include "test_formatters.moc"
