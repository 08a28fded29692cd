// The elapsed-time clock, the speed sampling and the graph snapshots.
#include "core/program_folder.h"
#include "view/formatters.h"
#include "view/download_view.h"
#include "engine/download_manager.h"
#include "engine/speed_meter.h"
#include "support/engine_bench.h"

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

    // Fault: speeds in the wrong units or rounding, an interval without data that moves the graph or the extremes (or
    // still shows the last speed), the first sample not setting both extremes, an elapsed time gone negative past
    // midnight, a complete file that still scrolls the graphs; the clock's wrong carry from seconds to minutes to hours.
    void speedSamplingAndClock()
    {
        DownloadView view;
        const DisplayModel &display = view.display();
        for (const auto &[seconds, shown] : {std::pair{59, "00:00:59"}, {60, "00:01:00"}, {3600, "01:00:00"}}) {
            DownloadStatus st;
            st.secondsElapsed = seconds;
            view.showStatus(st);
            QCOMPARE(display.label("Lbl_Time"), QString(shown));
        }
        const SpeedGraphs &graphs = view.graphs();
        view.graphs().begin(QString(), "f");
        // A sample as the engine takes it and hands it to the view: 1 when the graphs scrolled, 0 when not, -1 when
        // the two disagree.
        DownloadStatus last;
        const auto sample = [&](SpeedMeter &r, qint64 received, double now) {
            const bool flowed = r.sample(now, received, 10000000);
            last.fileSize = 10000000;
            last.received = received;
            last.speedNow = r.speedNow();
            last.speedAverage = r.speedAverage();
            last.secondsLeft = r.secondsLeft();
            last.speedHighest = r.highest();
            last.speedLowest = r.lowest();
            return view.showSample(last) == flowed ? int(flowed) : -1;
        };
        const auto lowest = [&] { return graphs.statisticsText(last).split('\n').at(2); };
        SpeedMeter r;
        r.start(86390);   // ten seconds before midnight
        r.add(123456);
        QCOMPARE(sample(r, 1000000, 10), 1);
        QCOMPARE(r.startedAt(), -10);
        QCOMPARE(display.label("Lbl_Vitesse_I") + " | " + display.label("Lbl_Vitesse_I2"),
                 Format_Vitesse(123460) + " | 965 Kbit/s");
        QCOMPARE(display.label("Lbl_Vitesse_M2") + " " + display.label("Lbl_Time_R"), QString("391 Kbit/s 00:01:12"));
        QVERIFY(r.highest() == 123460 && r.lowest() == 123460);
        QCOMPARE(lowest(), "Lspeed:" + Format_Vitesse(123460).toUtf8() + " | 965 Kbit/s\r");
        QVERIFY(graphs.immediates().size() == 50 && graphs.immediates().last() == "965" && graphs.averages().last() == "391");
        QCOMPARE(r.bytesThisTick(), 0);

        const QStringList immediates = graphs.immediates();
        QCOMPARE(sample(r, 1000000, 11), 0);   // no byte in the interval
        QVERIFY(graphs.immediates() == immediates && r.lowest() == 123460 && display.label("Lbl_Vitesse_I2") == "0 Kbit/s");
        r.add(1000);
        QCOMPARE(sample(r, 1000000, 12), 1);
        QVERIFY(r.highest() == 123460 && r.lowest() == 1000 && lowest().endsWith(" | 8 Kbit/s\r"));

        r.add(5000);
        QCOMPARE(sample(r, 10000000 - 1, 13), 0);   // complete: the last interval's bytes stay
        QVERIFY(r.bytesThisTick() == 5000 && graphs.immediates().last() == "8");

        // Fault: the time left followed the average since the start (after an outage, 57 s against a real 24 s).
        SpeedMeter s;
        qint64 received = 4000000;
        for (int t = 1; t <= 10; ++t) {
            const qint64 bytes = t <= 5 ? 0 : 100000;
            s.add(bytes);
            received += bytes;
            sample(s, received, t);
            if (t == 5)
                QVERIFY(s.secondsLeft() == -1 && display.label("Lbl_Time_R") == "--:--:--");
        }
        QCOMPARE(s.secondsLeft(), 55);   // 5.5 MB at 100 KB/s, where the average says 110 s
        QCOMPARE(display.label("Lbl_Time_R"), Format_Temps(55));
        // Fault: bytes stored just before a pause counted in the first sample after the resume (a time left while
        // nothing flows).
        s.add(100000);
        s.pause(11);
        s.resume(20);
        sample(s, received, 21);
        QCOMPARE(display.label("Lbl_Time_R"), QString("--:--:--"));
    }

    // Fault: snapshots numbered from 1, taken at another count than every fiftieth redraw, or named otherwise than
    // after the file.
    void snapshotEveryFiftyRedraws()
    {
        DownloadManager e;
        DownloadView view;
        view.follow(e);
        e.queue().load();
        const QString url = "127.0.0.1:1/my.file.iso";   // nobody listens: the download waits
        QVERIFY(queueProject(e, "snap", url, 5000));
        QVERIFY(e.queue().startNow("snap"));
        const QString folder = ProgramFolder::projectDir("snap");
        for (int i = 1; i <= 100; ++i) {
            view.graphs().redraw();
            QCOMPARE(QDir(folder).entryList({"*.jpg"}).size(), i / 50 * 2);
        }
        QCOMPARE(QDir(folder).entryList({"*.jpg"}, QDir::Files, QDir::Name),
                 QStringList({"my(1_0).jpg", "my(1_1).jpg", "my(2_0).jpg", "my(2_1).jpg"}));
        e.shutdown();
    }
};

QTEST_GUILESS_MAIN(TestCompletion)
#include "test_completion.moc"
