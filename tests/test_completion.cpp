// The elapsed-time clock, the speed sampling and the graph snapshots.
#include "core/program_folder.h"
#include "view/formatters.h"
#include "view/download_view.h"
#include "engine/download_manager.h"
#include "projects/project_file.h"

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
        DownloadView view;
        view.follow(e);
        int ticks = 0;
        for (const auto &[until, shown] : {std::pair{59, "00:00:59"}, {60, "00:01:00"}, {3600, "01:00:00"}}) {
            for (; ticks < until; ++ticks)
                e.onTimerTime();
            QCOMPARE(view.display().label("Lbl_Time"), QString(shown));
        }
        QCOMPARE(e.run().Temps_H, 1);
    }

    // Fault: speeds in the wrong units or rounding, an interval without data
    // that moves the graph or the extremes (or still shows the last speed), the first sample not setting both
    // extremes, an elapsed time gone negative past midnight, a complete file
    // that still scrolls the graphs.
    void speedSampling()
    {
        DownloadView view;
        const DisplayModel &display = view.display();
        const SpeedGraphs &graphs = view.graphs();
        view.graphs().begin(QString(), "f");
        // A sample as the engine takes it and hands it to the view: 1 when the
        // graphs scrolled, 0 when not, -1 when the two disagree.
        DownloadStatus last;
        const auto sample = [&](DownloadRun &r, double now) {
            const bool flowed = DownloadManager::sampleSpeeds(r, now);
            last.fileSize = r.Taille_Fichier;
            last.received = r.Taille_Recue;
            last.speedNow = r.speedNow;
            last.speedAverage = r.speedAverage;
            last.secondsLeft = r.secondsLeft;
            last.speedHighest = r.Vitesse_Haute;
            last.speedLowest = r.Vitesse_Basse;
            return view.showSample(last) == flowed ? int(flowed) : -1;
        };
        const auto lowest = [&] { return graphs.statisticsText(last).split('\n').at(2); };
        DownloadRun r;
        r.Taille_Fichier = 10000000;
        r.Taille_Recue = 1000000;
        r.Heure_Debut = 86390;   // ten seconds before midnight
        r.Octets_Tick = 123456;
        QCOMPARE(sample(r, 10), 1);
        QCOMPARE(r.Heure_Debut, -10);
        QCOMPARE(display.label("Lbl_Vitesse_I") + " | " + display.label("Lbl_Vitesse_I2"),
                 Format_Vitesse(123460) + " | 965 Kbit/s");
        QCOMPARE(display.label("Lbl_Vitesse_M2") + " " + display.label("Lbl_Time_R"), QString("391 Kbit/s 00:01:12"));
        QVERIFY(r.Vitesse_Haute == 123460 && r.Vitesse_Basse == 123460);
        QCOMPARE(lowest(), "Lspeed:" + Format_Vitesse(123460).toUtf8() + " | 965 Kbit/s\r");
        QVERIFY(graphs.immediates().size() == 50 && graphs.immediates().last() == "965" && graphs.averages().last() == "391");
        QCOMPARE(r.Octets_Tick, 0);

        const QStringList immediates = graphs.immediates();
        QCOMPARE(sample(r, 11), 0);   // no byte in the interval
        QVERIFY(graphs.immediates() == immediates && r.Vitesse_Basse == 123460 && display.label("Lbl_Vitesse_I2") == "0 Kbit/s");
        r.Octets_Tick = 1000;
        QCOMPARE(sample(r, 12), 1);
        QVERIFY(r.Vitesse_Haute == 123460 && r.Vitesse_Basse == 1000 && lowest().endsWith(" | 8 Kbit/s\r"));

        r.Taille_Recue = r.Taille_Fichier - 1;
        r.Octets_Tick = 5000;
        QCOMPARE(sample(r, 13), 0);
        QVERIFY(r.Octets_Tick == 5000 && graphs.immediates().last() == "8");

        // Fault: the time left followed the average since the start, which
        // after an outage said 57 s against a real 24 s.
        DownloadRun s;
        s.Taille_Fichier = 10000000;
        s.Taille_Recue = 4000000;
        for (int t = 1; t <= 10; ++t) {
            s.Octets_Tick = t <= 5 ? 0 : 100000;
            s.Taille_Recue += s.Octets_Tick;
            sample(s, t);
            if (t == 5)
                QVERIFY(s.secondsLeft == -1 && display.label("Lbl_Time_R") == "--:--:--");
        }
        QCOMPARE(s.secondsLeft, 55);   // 5.5 MB at 100 KB/s, where the average says 110 s
        QCOMPARE(display.label("Lbl_Time_R"), Format_Temps(55));
    }

    // Fault: snapshots numbered from 1, taken at another count than every
    // fiftieth redraw, or named after something else than the file's name.
    void snapshotEveryFiftyRedraws()
    {
        DownloadManager e;
        DownloadView view;
        view.follow(e);
        e.queue().load();
        const QString url = "127.0.0.1:1/my.file.iso";   // nobody listens: the download waits
        QVERIFY(e.queue().add("snap", ProjectFile::build(ProjectFile::fromSettings(url, 5000, false)), url, 5000));
        QVERIFY(e.queue().startNow("snap"));
        const QString folder = ProgramFolder::projectDir("snap");
        for (int i = 1; i <= 100; ++i) {
            view.graphs().redraw();
            QCOMPARE(QDir(folder).entryList({"*.jpg"}).size(), i / 50 * 2);
        }
        QCOMPARE(QDir(folder).entryList({"*.jpg"}, QDir::Files, QDir::Name),
                 QStringList({"my(1_0).jpg", "my(1_1).jpg", "my(2_0).jpg", "my(2_1).jpg"}));
        e.stopAllSlots();
    }
};

QTEST_GUILESS_MAIN(TestCompletion)
#include "test_completion.moc"
