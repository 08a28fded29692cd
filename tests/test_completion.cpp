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
        QTest::addColumn<QString>("busySlot");   // label left busy, or empty
        QTest::addColumn<bool>("ftp");
        QTest::addColumn<int>("percent");
        QTest::addColumn<bool>("finished");
        QTest::newRow("995 of 1000, all idle") << qint64(995) << QString() << false << 100 << true;
        QTest::newRow("994 of 1000") << qint64(994) << QString() << false << 99 << false;
        QTest::newRow("all of it, slot 2 busy") << qint64(1000) << "Lbl_Status_w2" << false << 100 << false;
        QTest::newRow("slot 4 busy over HTTP") << qint64(1000) << "Lbl_Status_w4" << false << 100 << false;
        QTest::newRow("slot 4 not used by FTP") << qint64(1000) << "Lbl_Status_w4" << true << 100 << true;
        QTest::newRow("slot 1 busy over FTP") << qint64(1000) << "Lbl_Status_w1" << true << 100 << false;
    }

    void finishedWhenEverySlotIsIdleAndTheBarSays100()
    {
        QFETCH(qint64, received);
        QFETCH(QString, busySlot);
        QFETCH(bool, ftp);
        QFETCH(int, percent);
        QFETCH(bool, finished);
        DownloadManager e;
        e.Downloading = true;
        e.Projet_FTP = ftp;
        e.Taille_Fichier = 1000;
        e.Taille_Recue = received;
        if (!busySlot.isEmpty())
            e.display().setLabel(busySlot, "Downloading (500.00 Kb)...");
        QVERIFY(!e.completionDue()); // nothing drawn yet
        e.updateProgress();
        QCOMPARE(e.Pourcent, percent);
        QCOMPARE(e.display().caption(), QStringLiteral("%1% - ZOV Kestra Download").arg(percent));
        QCOMPARE(e.display().label("Lbl_Taille2"), QStringLiteral("%1 Bytes").arg(received));
        QCOMPARE(e.completionDue(), finished);
    }

    void slotBarsRoundHalfAway()
    {
        DownloadManager e;
        e.slot(3).Paquet_Taille = 1000;
        e.slot(3).Paquet_Recu = 5;      // 4 bytes stored: 0.5 % -> 1 %
        e.slot(1).Paquet_Taille = 1000;
        e.slot(1).Paquet_Recu = 0;      // idle position: keeps its picture
        e.updateProgress();
        QCOMPARE(e.Pourcent_Slot[2], 1);
        QCOMPARE(e.display().bar("Barre3").percent, 1.0);
        QVERIFY(!e.display().bar("Barre1").painted);
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
        QCOMPARE(e.Temps_H, 1);
    }
};

QTEST_GUILESS_MAIN(TestCompletion)
#include "test_completion.moc"
