#pragma once
#include <array>
#include <optional>

#include <QObject>

#include "engine/download_manager.h"
#include "engine/download_status.h"
#include "view/display_model.h"
#include "view/speed_graphs.h"

// What a person reads of the running download: it turns the engine's figures
// and events into the texts, bars and caption of its DisplayModel, and keeps
// the speed graphs (SpeedGraphs). The window mirrors the model; zov-kestra-get
// keeps one too, so that both leave the same snapshots and statistics.
class DownloadView : public QObject
{
    Q_OBJECT
public:
    explicit DownloadView(QObject *parent = nullptr);

    DisplayModel &display() { return m_display; }
    const DisplayModel &display() const { return m_display; }
    SpeedGraphs &graphs() { return m_graphs; }

    // Follows the engine's signals from now on.
    void follow(DownloadManager &engine);

    // The engine's state changed: the main status, the action button, and
    // for a pause the slots' texts and the speeds.
    void showState(Download::State state, const DownloadStatus &status);
    // Elapsed time, and while a project runs the retry texts, bars,
    // "Downloaded:" and caption.
    void showStatus(const DownloadStatus &status);
    // A speed sample: speed and time-left texts, the graphs. True when the
    // graphs scrolled.
    bool showSample(const DownloadStatus &status);
    // Slot n's text for what it does now; a slot that takes a new pack (or
    // has none left) starts its bar over and the packs-left text follows.
    void showSlot(int n, SlotActivity activity, const DownloadStatus &status);
    // A run began: the plan, sizes, bar colours and the graphs afresh.
    void showRunBegan(const DownloadStatus &status, const QString &projectDir, const QString &fileName);
    // The run ended: the final snapshot pair; a finished project also gets
    // its statistics file in projectDir.
    void showRunEnded(bool finished, const DownloadStatus &status, const QString &projectDir);
    // The download display in its idle state.
    void reset();

    // "<count> times <pack size>[ and <short pack>]".
    static QString packsText(qint64 count, qint64 packSize, qint64 shortPack);

private:
    void resetBar(const QString &name);

    DisplayModel m_display;
    SpeedGraphs m_graphs;
    // Slots' activities not shown yet (see follow()).
    std::array<std::optional<SlotActivity>, 4> m_slotsDue;
};
