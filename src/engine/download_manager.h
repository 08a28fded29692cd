#pragma once
#include <QObject>
#include <QStringList>
#include <functional>

#include "display/display_model.h"
#include "projects/project_store.h"

class QTimer;
class Winsock;

// The engine's front object: the project queue, the running download, its timers
// and sockets, and the display state the windows mirror. It holds no widget; the
// main window reads its state, calls its operations and listens to its signals,
// and zov-kestra-get drives the same object without a screen.
class DownloadManager : public QObject
{
    Q_OBJECT
public:
    explicit DownloadManager(QObject *parent = nullptr);
    ~DownloadManager() override;

    ProjectStore &store() { return m_store; }
    DisplayModel &display() { return m_display; }

    // The queue moves only while this says the main window takes input (it does
    // not while the new-project dialog is open). Without a window it always may.
    void setWindowEnabledCheck(std::function<bool()> check) { m_windowEnabled = std::move(check); }
    bool windowEnabled() const { return !m_windowEnabled || m_windowEnabled(); }

    // Returns the download display to its idle state: action button disabled,
    // bars cleared and painted at 0 %, counters and labels reset, graphs cleared.
    void ReInit();

    // State shared with the windows.
    bool Downloading = false;
    QString Project_Now;
    bool Projet_FTP = false;
    bool Erreur_Signalee = false;

    // Pack bookkeeping of a resumed project, and the speed-graph samples.
    QStringList Lst_Recupe, Lst_Recupe_No;
    QStringList Lst_Numero_OK, Lst_Numero_Pas_OK, Lst_Numero_Pas_OK_Byte;
    QStringList Lst_Graph, Lst_Graph2;

    // Timers (objectName = the name the program uses for them).
    QTimer *Timer_Connect;
    QTimer *Timer_Listen;
    QTimer *Timer_Valide;
    QTimer *Timer_Start_Download;
    QTimer *Timer_FTP[4];
    QTimer *Timer_Barre;
    QTimer *Timer_Time;
    QTimer *Timer_Speed;

    // Sockets of the slots: HTTP (Winsock1..4), FTP control (WskF_1..4) and FTP
    // data (WskF1..4), and the URL hand-off listener.
    Winsock *Winsock_Slot[4];
    Winsock *WskF_Control[4];
    Winsock *WskF_Data[4];
    Winsock *Winsock_Listen;

signals:
    void actionEnabledChanged(bool enabled);
    void tabRequested(int index);            // 1 About, 2 Projects, 3 Download
    void graphsCleared();
    // A message for the user: title, text, and whether it reports a failure
    // (critical icon) or is a notice (information icon).
    void messageRequested(const QString &title, const QString &text, bool critical);

private:
    void onQueueTick();

    ProjectStore m_store;
    DisplayModel m_display;
    std::function<bool()> m_windowEnabled;
};
