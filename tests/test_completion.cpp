// When a project counts as finished, and the elapsed-time clock.
#include "engine/download_manager.h"
#include "engine/http_slot.h"

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

    void finishedWhenEverySlotIsIdleAndTheBarSays100_data()
    {
        QTest::addColumn<qint64>("received");
        QTest::addColumn<int>("busySlot");   // 0: all idle
        QTest::addColumn<bool>("ftp");
        QTest::addColumn<int>("percent");
        QTest::addColumn<bool>("finished");
        QTest::newRow("995 of 1000, all idle") << qint64(995) << 0 << false << 100 << true;
        QTest::newRow("994 of 1000") << qint64(994) << 0 << false << 99 << false;
        QTest::newRow("all of it, slot 2 busy") << qint64(1000) << 2 << false << 100 << false;
        QTest::newRow("slot 4 busy over HTTP") << qint64(1000) << 4 << false << 100 << false;
        QTest::newRow("slot 4 not used by FTP") << qint64(1000) << 4 << true << 100 << true;
        QTest::newRow("slot 1 busy over FTP") << qint64(1000) << 1 << true << 100 << false;
    }

    void finishedWhenEverySlotIsIdleAndTheBarSays100()
    {
        QFETCH(qint64, received);
        QFETCH(int, busySlot);
        QFETCH(bool, ftp);
        QFETCH(int, percent);
        QFETCH(bool, finished);
        QCOMPARE(DownloadRun::percentOf(received, 1000), percent);
        bool idle[4] = {true, true, true, true};
        if (busySlot > 0)
            idle[busySlot - 1] = false;
        QCOMPARE(DownloadManager::completionRule(true, false, ftp, percent, idle), finished);
        QVERIFY(!DownloadManager::completionRule(true, true, ftp, percent, idle));   // paused
        QVERIFY(!DownloadManager::completionRule(false, false, ftp, percent, idle));
    }

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
