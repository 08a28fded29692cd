#include "view/download_view.h"

#include <algorithm>
#include <utility>

#include <QPointer>

#include "core/program_folder.h"
#include "core/settings.h"
#include "view/bar_painter.h"
#include "view/formatters.h"

namespace {
QString barName(int n)
{
    return QStringLiteral("Barre%1").arg(n);
}

QString statusLabel(int n)
{
    return QStringLiteral("Lbl_Status_w%1").arg(n);
}

QString twoDigits(qint64 v)
{
    return formatPattern(double(v), QStringLiteral("00"));
}

const QString kNothing = QStringLiteral("Nothing");
const QString kProduct = QStringLiteral("ZOV Kestra Download");
// The time left while it cannot be known: paused, or nothing came for a while.
const QString kUnknownTime = QStringLiteral("--:--:--");

using State = Download::State;

bool runs(int state)
{
    const auto s = State(state);
    return s == State::Running || s == State::WaitingForServer || s == State::Paused || s == State::Failed
           || s == State::Assembling;
}
} // namespace

DownloadView::DownloadView(QObject *parent)
    : QObject(parent)
    , m_graphs(m_display)
{
    m_display.setObjectName(QStringLiteral("DisplayModel"));
}

void DownloadView::follow(DownloadManager &engine)
{
    DownloadManager *e = &engine;
    connect(e, &DownloadManager::stateChanged, this, [this, e](Download::State state) {
        showState(state, e->status());
    });
    connect(e, &DownloadManager::statusChanged, this, &DownloadView::showStatus);
    connect(e, &DownloadManager::speedSampled, this, &DownloadView::showSample);
    connect(e, &DownloadManager::slotActivityChanged, this, [this, e](int n, SlotActivity activity) {
        // On small packs a slot changes twice a pack, thousands of times a
        // second, and each change would rebuild the status and its texts:
        // the texts show the last change of each turn of the event loop.
        const bool due = std::any_of(m_slotsDue.begin(), m_slotsDue.end(), [](const auto &a) { return a.has_value(); });
        m_slotsDue[n - 1] = activity;
        if (due)
            return;
        QMetaObject::invokeMethod(this, [this, engine = QPointer<DownloadManager>(e)] {
            const auto dueNow = std::exchange(m_slotsDue, {});
            if (!engine)
                return;
            const DownloadStatus s = engine->status();
            for (int i = 1; i <= 4; ++i) {
                if (dueNow[i - 1])
                    showSlot(i, *dueNow[i - 1], s);
            }
        }, Qt::QueuedConnection);
    });
    connect(e, &DownloadManager::runBegan, this, [this, e] {
        const DownloadStatus s = e->status();
        showRunBegan(s, ProgramFolder::projectDir(s.project), s.fileName);
    });
    connect(e, &DownloadManager::runEnded, this, [this, e](bool finished) {
        const DownloadStatus s = e->status();
        showRunEnded(finished, s, ProgramFolder::projectDir(s.project));
    });
    connect(e, &DownloadManager::displayReset, this, &DownloadView::reset);
}

void DownloadView::showState(Download::State state, const DownloadStatus &status)
{
    switch (state) {
    case State::Starting:
        m_display.setLabel(QStringLiteral("Lbl_Status_B"), QStringLiteral("Inistialising"));
        break;
    case State::Running:
        m_display.setLabel(QStringLiteral("Cmd_Action"), QStringLiteral("Pause"));
        m_display.setLabel(QStringLiteral("Lbl_Status_B"), QStringLiteral("Downloading..."));
        break;
    case State::Paused:
    case State::Failed:
        for (int n = 1; n <= 4; ++n) {
            if (status.perSlot[n - 1].inUse)
                m_display.setLabel(statusLabel(n), QStringLiteral("Pause..."));
        }
        m_display.setLabel(QStringLiteral("Lbl_Status_B"), QStringLiteral("Pause..."));
        m_display.setLabel(QStringLiteral("Lbl_Vitesse_I"), Format_Vitesse(0));
        m_display.setLabel(QStringLiteral("Lbl_Vitesse_I2"), QStringLiteral("0 Kbit/s"));
        m_display.setLabel(QStringLiteral("Lbl_Time_R"), kUnknownTime);
        m_display.setLabel(QStringLiteral("Cmd_Action"), QStringLiteral("Resume"));
        break;
    case State::Idle:
    case State::Finished:
        m_display.setLabel(QStringLiteral("Lbl_Status_B"), kNothing);
        m_display.setCaption(kProduct);
        break;
    case State::WaitingForServer:
        m_display.setLabel(QStringLiteral("Lbl_Status_B"), QStringLiteral("Waiting for the server..."));
        break;
    case State::Assembling:
        break;
    }
}

void DownloadView::showStatus(const DownloadStatus &s)
{
    const qint64 t = s.secondsElapsed;
    m_display.setLabel(QStringLiteral("Lbl_Time"),
                       twoDigits(t / 3600) + QLatin1Char(':') + twoDigits(t / 60 % 60) + QLatin1Char(':') + twoDigits(t % 60));
    if (!runs(s.state))
        return;
    for (int n = 1; n <= 4; ++n) {
        const DownloadStatus::Slot &slot = s.perSlot[n - 1];
        // A slot that waits to connect again says when, and which attempt
        // (none is spent on a wait the server asked for).
        if (slot.retryInSeconds >= 0 && slot.serverWait)
            m_display.setLabel(statusLabel(n), QStringLiteral("Server busy: retrying in %1 s...").arg(slot.retryInSeconds));
        else if (slot.retryInSeconds >= 0)
            m_display.setLabel(statusLabel(n), QStringLiteral("Retrying in %1 s (%2 of %3)...")
                                                   .arg(slot.retryInSeconds).arg(slot.attempt)
                                                   .arg(DownloadStatus::MaxAttempts));
        if (slot.percent >= 0)
            m_display.paintBar(barName(n), slot.percent);
    }
    if (s.received >= 1 && s.fileSize < 0) {
        // No size, so no share of it: the bytes alone.
        m_display.setLabel(QStringLiteral("Lbl_Taille2"), Format_Taille(s.received));
        m_display.setCaption(Format_Taille(s.received) + QStringLiteral(" - ") + kProduct);
    } else if (s.received >= 1 && s.fileSize >= 1) {
        const int percent = DownloadStatus::percentOf(s.received, s.fileSize);
        m_display.setLabel(QStringLiteral("Lbl_Taille2"), Format_Taille(s.received));
        m_display.paintBar(QStringLiteral("Barre"), percent);
        m_display.setCaption(QString::number(percent) + QStringLiteral("% - ") + kProduct);
    }
}

bool DownloadView::showSample(const DownloadStatus &s)
{
    if (s.received < 1 || s.fileSize == 0)
        return false;
    const auto showAverage = [&] {
        m_display.setLabel(QStringLiteral("Lbl_Vitesse_M"), Format_Vitesse(s.speedAverage));
        m_display.setLabel(QStringLiteral("Lbl_Vitesse_M2"),
                           SpeedGraphs::kbits(double(s.speedAverage)) + QStringLiteral(" Kbit/s"));
    };
    // The file is complete: only the average is told.
    if (s.fileSize > 0 && s.fileSize <= s.received + 1) {
        showAverage();
        return false;
    }
    if (s.speedAverage != 0)
        showAverage();
    m_display.setLabel(QStringLiteral("Lbl_Time_R"), s.secondsLeft >= 0 ? Format_Temps(s.secondsLeft) : kUnknownTime);
    if (s.speedNow == 0) {
        m_display.setLabel(QStringLiteral("Lbl_Vitesse_I"), Format_Vitesse(0));
        m_display.setLabel(QStringLiteral("Lbl_Vitesse_I2"), QStringLiteral("0 Kbit/s"));
    } else {
        m_display.setLabel(QStringLiteral("Lbl_Vitesse_I"), Format_Vitesse(s.speedNow));
        m_display.setLabel(QStringLiteral("Lbl_Vitesse_I2"),
                           SpeedGraphs::kbits(SpeedGraphs::measuredSpeed(s.speedNow)) + QStringLiteral(" Kbit/s"));
    }
    const bool scrolled = m_graphs.addSample(s);
    if (scrolled)
        m_graphs.redraw();
    return scrolled;
}

QString DownloadView::packsText(qint64 count, qint64 packSize, qint64 shortPack)
{
    if (packSize < 0)
        return QStringLiteral("1 pack of unknown size");
    QString text = QString::number(count) + QStringLiteral(" times ") + Format_Taille(packSize);
    if (shortPack > 0)
        text += QStringLiteral(" and ") + Format_Taille(shortPack);
    return text;
}

void DownloadView::resetBar(const QString &name)
{
    m_display.clearBar(name);
    m_display.paintBar(name, 0);
}

void DownloadView::showSlot(int n, SlotActivity activity, const DownloadStatus &s)
{
    const DownloadStatus::Slot &slot = s.perSlot[n - 1];
    switch (activity) {
    case SlotActivity::Idle:
        resetBar(barName(n));
        m_display.setLabel(statusLabel(n), kNothing);
        m_display.setLabel(QStringLiteral("Lbl_Paquet_2"), kNothing);
        break;
    case SlotActivity::Connecting: {
        resetBar(barName(n));
        m_display.setLabel(statusLabel(n), QStringLiteral("Initialising"));
        const qint64 c = s.unstartedPacks;
        m_display.setLabel(QStringLiteral("Lbl_Paquet_2"),
                           s.unstartedIncludesShortPack ? packsText(c - 1, s.packSize, s.lastPackSize)
                                                        : packsText(c, s.packSize, 0));
        break;
    }
    case SlotActivity::Sending:
        m_display.setLabel(statusLabel(n), QStringLiteral("Sending request..."));
        break;
    case SlotActivity::Downloading:
        m_display.setLabel(statusLabel(n), QStringLiteral("Downloading (") + fileSizeText(slot.packSize)
                                               + QStringLiteral(")..."));
        break;
    case SlotActivity::Retrying:
        m_display.setLabel(statusLabel(n), QStringLiteral("Retrying in %1 s (%2 of %3)...")
                                               .arg(slot.retryInSeconds).arg(slot.attempt)
                                               .arg(DownloadStatus::MaxAttempts));
        break;
    case SlotActivity::Paused:
        m_display.setLabel(statusLabel(n), QStringLiteral("Pause..."));
        break;
    }
}

void DownloadView::showRunBegan(const DownloadStatus &s, const QString &projectDir, const QString &fileName)
{
    m_graphs.begin(projectDir, fileName);
    m_display.setLabel(QStringLiteral("Lbl_Paquet"), packsText(s.fullPacks, s.packSize, s.lastPackSize));
    m_display.setLabel(QStringLiteral("Lbl_Taille"), fileSizeText(s.fileSize));
    m_display.setLabel(QStringLiteral("Lbl_Taille2"), Format_Taille(0));
    m_display.setLabel(QStringLiteral("Cmd_Action"), QStringLiteral("Pause"));
    if (s.ftp)
        m_display.setLabel(statusLabel(4), QStringLiteral("Unused with FTP servers."));
    using D = Settings::Default;
    const QColor mainBack = colorFromPacked(Settings::readInt(QStringLiteral("mainbarreback"), D::mainBarBack));
    const QColor mainFore = colorFromPacked(Settings::readInt(QStringLiteral("mainbarrefor"), D::mainBarFore));
    const QColor secBack = colorFromPacked(Settings::readInt(QStringLiteral("secbarreback"), D::slotBarBack));
    const QColor secFore = colorFromPacked(Settings::readInt(QStringLiteral("secbarrefor"), D::slotBarFore));
    m_display.setBarColors(QStringLiteral("Barre"), mainBack, mainFore);
    for (int n = 1; n <= 4; ++n)
        m_display.setBarColors(barName(n), secBack, secFore);
    // Every bar starts over; the packs a resumed run goes on with show how
    // far they are at once.
    for (const QString &b : DisplayModel::barNames())
        resetBar(b);
    showStatus(s);
}

void DownloadView::showRunEnded(bool finished, const DownloadStatus &status, const QString &projectDir)
{
    if (!finished) {
        m_graphs.drawFinal();
        return;
    }
    m_graphs.drawFinal();
    m_display.setLabel(QStringLiteral("Lbl_Status_B"), kNothing);
    m_display.setCaption(kProduct);
    m_graphs.writeStatistics(projectDir, status);
}

void DownloadView::reset()
{
    for (const QString &b : DisplayModel::barNames())
        m_display.clearBar(b);
    for (const char *b : {"Barre", "Barre4", "Barre3", "Barre2", "Barre1"})
        m_display.paintBar(QString::fromLatin1(b), 0);
    m_display.resetLabels();
    m_display.setLabel(QStringLiteral("Cmd_Action"), QStringLiteral("Pause"));
}
