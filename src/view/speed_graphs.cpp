#include "view/speed_graphs.h"

#include "core/settings.h"
#include "core/text_file.h"
#include "options/option_values.h"
#include "view/bar_painter.h"
#include "view/display_model.h"
#include "view/formatters.h"
#include "view/jpg_export.h"

#include <QDir>

namespace {
const QString kZero = QStringLiteral("0");
} // namespace

SpeedGraphs::SpeedGraphs(DisplayModel &display, QObject *parent)
    : QObject(parent)
    , m_display(display)
{
}

void SpeedGraphs::begin(const QString &projectDir, const QString &fileName)
{
    m_immediates = QStringList(SampleCount, kZero);
    m_averages = m_immediates;
    m_projectDir = projectDir;
    m_fileName = fileName;
    m_traces = 0;
    // New snapshots continue the numbering of the ones already saved.
    m_capture = int(QDir(projectDir).entryList({QStringLiteral("*.jpg")}, QDir::Files).size() / 2);
    m_showModem = Settings::readInt(QStringLiteral("ShowModem"), Settings::Default::showModem) != 0;
    m_columns = Settings::read(QStringLiteral("graphfor"), QString::number(Settings::Default::graphFore)).toLongLong();
    m_modem = Settings::read(QStringLiteral("graphmodem"), QString::number(Settings::Default::graphModem)).toLongLong();
    m_running = true;
}

double SpeedGraphs::measuredSpeed(qint64 speedNow)
{
    return double(speedNow / 10) / 100.0 * 1000.0;
}

QString SpeedGraphs::kbits(double bytesPerSecond)
{
    return formatPattern(bytesPerSecond / 128.0, QStringLiteral("0"));
}

bool SpeedGraphs::addSample(const DownloadStatus &s)
{
    // A file of unknown size (negative) is drawn while it flows too.
    if (s.received < 1 || s.fileSize == 0 || (s.fileSize > 0 && s.fileSize <= s.received + 1))
        return false;
    if (s.speedAverage != 0) {
        m_averages.removeFirst();
        m_averages.append(kbits(double(s.speedAverage)));
    }
    // The graphs scroll only while data flows.
    if (s.speedNow == 0)
        return false;
    m_immediates.removeFirst();
    m_immediates.append(kbits(measuredSpeed(s.speedNow)));
    return true;
}

GraphPainter::Style SpeedGraphs::style() const
{
    GraphPainter::Style style;
    style.background = colorFromPacked(Settings::readInt(QStringLiteral("graphback"), Settings::Default::graphBack));
    style.columns = colorFromPacked(m_columns);
    style.modem = colorFromPacked(m_modem);
    style.showModem = m_showModem;
    // The line speed may be typed with a fraction ("33.6"): its whole Kbit/s.
    style.modemSpeed = int(OptionValues::numberIn(Settings::read(QStringLiteral("modemspeed"), QLatin1String(Settings::Default::modemSpeed))));
    return style;
}

void SpeedGraphs::setShowModem(bool shown)
{
    m_showModem = shown;
    if (m_running)
        redraw(false);
}

void SpeedGraphs::redraw(bool counted)
{
    GraphPainter::draw(&m_display.graph(QStringLiteral("Graph")), &m_display.graph(QStringLiteral("Graph2")),
                       m_averages, m_immediates, style());
    m_display.graphsDrawn();
    if (!counted || ++m_traces < RedrawsPerSnapshot)
        return;
    // Every fifty redraws the pair is kept: consecutive snapshots tile the
    // download's timeline.
    if (saveSnapshots()) {
        m_traces = 0;
        ++m_capture;
    }
}

void SpeedGraphs::drawFinal()
{
    GraphPainter::drawFinal(&m_display.graph(QStringLiteral("Graph")), &m_display.graph(QStringLiteral("Graph2")),
                            m_averages, m_immediates, style(), m_traces);
    m_display.graphsDrawn();
    saveSnapshots();
}

bool SpeedGraphs::saveSnapshots()
{
    // Named after the file up to its first "."; a name without one gives none.
    const qsizetype dot = m_fileName.indexOf(QLatin1Char('.'));
    if (dot < 0)
        return false;
    const QString base = m_projectDir + m_fileName.left(dot);
    const QString n = QString::number(m_capture);
    // A picture that cannot be written costs the picture, never the download.
    QString error;
    return JpgExport::saveSnapshot(m_display.graph(QStringLiteral("Graph")), base + QStringLiteral("(1_") + n + QStringLiteral(").jpg"), &error)
           && JpgExport::saveSnapshot(m_display.graph(QStringLiteral("Graph2")), base + QStringLiteral("(2_") + n + QStringLiteral(").jpg"), &error);
}

void SpeedGraphs::fillWithZeros()
{
    for (int i = 0; i < SampleCount; ++i) {
        m_immediates.append(kZero);
        m_averages.append(kZero);
    }
}

QByteArray SpeedGraphs::statisticsText(const DownloadStatus &s) const
{
    // An extreme nobody measured stays empty.
    const auto speed = [](qint64 v) { return v > 0 ? Format_Vitesse(v) : QString(); };
    const auto speed2 = [](qint64 v) {
        return v > 0 ? kbits(measuredSpeed(v)) + QStringLiteral(" Kbit/s") : QString();
    };
    return "Time:" + m_display.label(QStringLiteral("Lbl_Time")).toUtf8() + "\r\n"
           "Hspeed:" + speed(s.speedHighest).toUtf8() + " | " + speed2(s.speedHighest).toUtf8() + "\r\n"
           "Lspeed:" + speed(s.speedLowest).toUtf8() + " | " + speed2(s.speedLowest).toUtf8() + "\r\n"
           "Mspeed:" + m_display.label(QStringLiteral("Lbl_Vitesse_M")).toUtf8() + " | "
           + m_display.label(QStringLiteral("Lbl_Vitesse_M2")).toUtf8() + "\r\n";
}

void SpeedGraphs::writeStatistics(const QString &projectDir, const DownloadStatus &status) const
{
    TextFile::write(projectDir + QStringLiteral("stats.zov"), statisticsText(status));
}
