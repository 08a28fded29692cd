#pragma once
#include <QObject>
#include <QStringList>

#include "engine/download_status.h"
#include "view/graph_painter.h"

class DisplayModel;
class DownloadManager;

// The two speed graphs of the running download and what a finished project
// leaves for later review. It keeps the samples in Kbit/s (averages for
// "Graph", immediates for "Graph2"), draws them into the display's images,
// saves the pair "<base>(1_<n>).jpg" / "(2_<n>).jpg" in the project folder
// every fiftieth redraw and at the end of a run, and writes "stats.zov" when a
// project finishes. Everything comes from the figures the engine hands out.
class SpeedGraphs : public QObject
{
    Q_OBJECT
public:
    static constexpr int SampleCount = 50;
    static constexpr int RedrawsPerSnapshot = 50;

    explicit SpeedGraphs(DisplayModel &display, QObject *parent = nullptr);

    // Follows the engine: a run that begins, its speed samples, its end, the
    // display going back to idle.
    void follow(DownloadManager &engine);

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
    // The display went back to idle: the average speed shown is the idle one.
    void clear();

    // The text of "stats.zov" for a project that ends with this status.
    QByteArray statisticsText(const DownloadStatus &status) const;
    // The project finished: the final pair, then its statistics file.
    void finish(const QString &projectDir, const DownloadStatus &status);

    const QStringList &immediates() const { return m_immediates; }
    const QStringList &averages() const { return m_averages; }
    // A speed in bytes per second as "Kbit/s" (whole Kbit/s).
    static QString kbits(double bytesPerSecond);

private:
    GraphPainter::Style style() const;
    bool saveSnapshots();

    DisplayModel &m_display;
    QStringList m_immediates, m_averages;
    int m_traces = 0;                 // counted redraws since the last snapshot pair
    int m_capture = 0;                // number of the next snapshot pair
    bool m_running = false;
    bool m_showModem = true;
    qint64 m_columns = 8421631, m_modem = 0;
    QString m_projectDir, m_fileName;
    // The average speed as last shown: what the statistics file keeps.
    QString m_averageText, m_averageText2;
};
