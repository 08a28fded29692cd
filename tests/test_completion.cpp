// The elapsed-time clock.
#include "engine/download_manager.h"

#include <QTemporaryDir>
#include <QtTest>

class TestCompletion : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        static QTemporaryDir dir;
        qputenv("ZOV_KESTRA_HOME", dir.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    }

    // Fault: a wrong carry from seconds to minutes to hours.
    void clockCountsTicks()
    {
        DownloadManager e;
        for (int i = 0; i < 59; ++i)
            e.onTimerTime();
        QCOMPARE(e.display().label("Lbl_Time"), QString("00:00:59"));
        e.onTimerTime();
        QCOMPARE(e.display().label("Lbl_Time"), QString("00:01:00"));
        for (int i = 0; i < 3540; ++i)
            e.onTimerTime();
        QCOMPARE(e.display().label("Lbl_Time"), QString("01:00:00"));
        QCOMPARE(e.run().Temps_H, 1);
    }
};

QTEST_GUILESS_MAIN(TestCompletion)
#include "test_completion.moc"
