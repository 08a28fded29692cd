#pragma once
#include <QObject>
#include <QStringList>

#include "core/settings.h"
#include "engine/download_status.h"
#include "view/graph_painter.h"

class DisplayModel;

// The two speed graphs of the running download and what a finished project
// leaves for later review. It keeps the samples in Kbit/s (averages for
// "Graph", immediates for "Graph2"), draws them into the display's images,
// saves the pair "<base>(1_<n>).jpg" / "(2_<n>).jpg" in the project folder
// every fiftieth redraw and at the end of a run, and writes "stats.zov" when a
// project finishes. DownloadView feeds it the figures the engine hands out.
class SpeedGraphs : public QObject
{
    Q_OBJECT
public:
    static constexpr int SampleCount = 50;
    static constexpr int RedrawsPerSnapshot = 50;

    explicit SpeedGraphs(DisplayModel &display, QObject *parent = nullptr);

    // A run begins: fifty "0" samples in each graph, the colours of the
    // project's options, and snapshots numbered on from the ones already in
    // projectDir. fileName names the snapshots (up to its first ".").
    void begin(const QString &projectDir, const QString &fileName);
    // One speed sample of the engine. True when the graphs scrolled (data
    // flowed and the file is not complete yet); the caller redraws then.
    bool addSample(const DownloadStatus &status);
    // Redraws both graphs from the samples; a counted redraw moves towards the
    // next snapshot pair (every fifty).
    void redraw(bool counted = true);
    // The samples since the last snapshot pair, drawn and saved (the end of a
    // download, or the program closing during one).
    void drawFinal();
    // "Show modem capacity": the reference line on or off, redrawn at once
    // while a run is on.
    void setShowModem(bool shown);
    // Start-up puts fifty "0" samples in each graph.
    void fillWithZeros();

    // The text of "stats.zov" for a project that ends with this status: its
    // elapsed time and average speed as the display shows them, its extremes.
    QByteArray statisticsText(const DownloadStatus &status) const;
    // Writes projectDir/stats.zov for a project that finished.
    void writeStatistics(const QString &projectDir, const DownloadStatus &status) const;

    const QStringList &immediates() const { return m_immediates; }
    const QStringList &averages() const { return m_averages; }
    // A speed in bytes per second in whole Kbit/s.
    static QString kbits(double bytesPerSecond);
    // The immediate speed as its sample measured it (whole 10 bytes per
    // second, computed in hundredths of 1000 bytes), so that its Kbit/s round
    // the same way wherever they are shown.
    static double measuredSpeed(qint64 speedNow);

    // How the graphs are drawn now: the project's colours, the settings'
    // background and line speed, the reference line on or off. The window
    // draws the samples with it at its own size.
    GraphPainter::Style style() const;

private:
    bool saveSnapshots();

    DisplayModel &m_display;
    QStringList m_immediates, m_averages;
    int m_traces = 0;                 // counted redraws since the last snapshot pair
    int m_capture = 0;                // number of the next snapshot pair
    bool m_running = false;
    bool m_showModem = true;
    qint64 m_columns = Settings::Default::graphFore, m_modem = Settings::Default::graphModem;
    QString m_projectDir, m_fileName;
};
