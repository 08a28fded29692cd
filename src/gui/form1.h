#pragma once
#include <QElapsedTimer>
#include <QHash>
#include <QIcon>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <functional>

#include "app/url_listener.h"
#include "gui/wait_window.h"
#include "projects/request_headers.h"

class DownloadManager;
class Form2;
class Notifier;
class PictureBox;
class DownloadView;
class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QMimeData;
class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;
class QTabBar;
class Stats;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class UrlProbe;
struct ProbeResult;

// The main window. It shows the engine's state and forwards the user's commands;
// the queue, the download and their timers live in DownloadManager. Controls keep
// the names the rest of the program knows them by (objectName as well).
class Form1 : public QMainWindow
{
    Q_OBJECT
public:
    // arguments: the command line without the program name.
    explicit Form1(const QStringList &arguments, QWidget *parent = nullptr);
    ~Form1() override;

    DownloadManager &engine() { return *m_engine; }
    DownloadView &view() { return *m_view; }

    // Tab strip click: 1 About, 2 Projects, anything else Download.
    void selectTab(int index);
    // A tab change the user did not ask for (a download starts or ends, an
    // address arrives): at once, or, while a menu, a dialog or a drag of the
    // window is under the user's hand, as soon as it is over.
    void autoSelectTab(int index);
    // The tab an automatic change waits to show; 0 when none waits.
    int pendingTab() const { return m_pendingTab; }
    // Rebuilds both list views from the working lists.
    void Charger_Listes();
    // "Op&tions..." (refused during a download).
    void openOptions();
    // Shows a message box without blocking the event loop; returns it so that a
    // caller can continue when it is closed.
    QMessageBox *showMessage(const QString &title, const QString &text, bool critical);

    // The add-project command (Cmd_add, Enter in Txt_Url, the URL hand-off):
    // probes the address in Txt_Url; a usable one opens the new-project dialog.
    void addProject();
    UrlProbe *urlProbe() const { return m_probe; }
    QWidget *newProjectDialog() const;

    // The statistics window while it is open.
    QWidget *statsWindow() const;

    WaitWindow *loadingWindow() const { return m_form6; }
    // The listener of addresses handed over by UrlPass, the browser's host and
    // a second start.
    UrlListener &listener() { return *m_listener; }
    QSystemTrayIcon *trayIcon() const { return m_tray; }
    // Restores, shows and focuses the window (tray icon, "Show").
    void Afficher_Fenetre();
    // What tells the desktop that a download finished or stopped while the
    // window was not looked at. setNotifier() puts another in its place
    // (the window takes it).
    Notifier &notifier() const { return *m_notifier; }
    void setNotifier(Notifier *notifier);
    QWidget *optionsDialog() const { return m_options; }

    // Start-up state.
    bool Options_Missing = false;
    bool Tray_Mode = false;
    bool Loading_Options = false;
    quint16 Listen_Port = 0;   // the loopback port, 0 when there is none

    // Menu.
    QMenu *Mnu_Files;
    QAction *Mnu_Options, *tiret1, *Mnu_Exit;
    // Context menu of the finished projects (Lst_Main2): the finished file
    // and its folder in the desktop's own programs, then the statistics.
    QMenu *Mnu_Finished;
    QAction *Mnu_Open_File, *Mnu_Open_Folder, *Mnu_T0, *Mnu_Stats, *Mnu_T1, *Mnu_Del_Stats;
    // Context menu of the projects to do (Lst_Main).
    QMenu *Mnu_Pas_Finit;
    QAction *Mnu_Haut, *Mnu_Bas, *Mnu_T2, *Mnu_Cancel;
    // Menu of the tray icon; Mnu_Action pauses or resumes as Cmd_Action does.
    QMenu *Mnu_Tray;
    QAction *Mnu_Show, *Mnu_Action, *Mnu_t5, *Mnu_Quittement;
    // Tab strip and frames.
    QTabBar *Menu;
    QGroupBox *Frm_Infos, *Frm_Infos2, *Frm_Main, *Frm_projects, *Frm_Download, *Frm_Graph;
    // "About".
    QLabel *Image1, *Label11, *Label12, *Label13;
    QCheckBox *ChK_Start, *ChK_Tray, *ChK_Startwindows, *ChK_IEMenu;
    // Under ChK_IEMenu: for which browsers the box installed the host, or
    // what unticking it leaves the extension.
    QLabel *Lbl_BrowserHosts;
    // "Projects".
    QLineEdit *Txt_Url;
    QPushButton *Cmd_add;
    QLabel *Label9, *Lbl_Status_H;
    QTreeWidget *Lst_Main, *Lst_Main2;
    // "Download".
    QPushButton *Cmd_Action;
    PictureBox *Barre, *Barre1, *Barre2, *Barre3, *Barre4;
    PictureBox *Graph, *Graph2;
    // Working controls, never shown.
    QWidget *Working;
    QLineEdit *Txt_Numero_Selected;
    QCheckBox *Chk_modem;
    QPushButton *CMD_Creer_fichier;
    PictureBox *Photo, *Photo2;
    QTimer *Timer_load;
    // Row images: 1 finished, 2 in progress, 3 waiting.
    QList<QIcon> ImageList;

    QLabel *label(const QString &name) const { return m_labels.value(name); }
    PictureBox *bar(const QString &name) const { return m_bars.value(name); }

signals:
    // Start-up has run (the loading window is closed).
    void startupFinished();
    // Closing the window has saved what must be saved: the process may end.
    void shutdownFinished();

protected:
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    // A link dragged from a browser onto the window is added like a typed
    // address (the address box and the tray icon take it the same way).
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void buildMenu();
    void buildFrames();
    void buildWorking();
    void wireEngine();
    QLabel *addLabel(QWidget *parent, const QString &name, const QString &text);
    void onTimerLoad();
    void Charger_Demarrage();
    void paintBar(const QString &name);
    // Draws both speed graphs at their boxes' size from the view's samples.
    void drawGraphs();
    // The running project's row shows its percentage and speed as the view
    // last gave them.
    void showRunningProgress();
    // A menu, a dialog or message of this window is open, a mouse button is
    // down, or the window has just moved: the user is in the middle of
    // something.
    bool underUsersHand() const;
    void applyPendingTab();
    // A download ended or stopped: the desktop tells it when the window is
    // not the one looked at.
    void tellDesktop(const QString &title, const QString &body);
    // The address a drop carries (a link or a one-line text), empty when it
    // carries none the program could download.
    static QString droppedAddress(const QMimeData *data);
    bool takeDrop(QEvent *event);
    // Where a finished project's file is (the name it was saved under).
    QString finishedFile(const QString &name) const;
    void openFinished(bool folder);
    // The cause of the last probe failure (its message is text) as the
    // window says it under the message's first line; empty when none is known.
    QString probeCause(const QString &text) const;
    void setTrayIcon(bool shown);
    void onChkTray();
    void onChkStart();
    void onChkStartwindows();
    void onChkIEMenu();
    // ChK_IEMenu and its note as the user's host manifests are.
    void showBrowserHosts();
    // Context menu of Lst_Main at pos, and its operations on the row
    // Txt_Numero_Selected names.
    void onMainMenu(const QPoint &pos);
    void moveSelected(int delta);
    void cancelSelected();
    // An address from the listener waits here while a probe runs or a dialog
    // holds the window; takeHandOff() probes the next one when it may.
    void onAddressReceived(const HandedOver &handOff);
    void takeHandOff();
    // Raises the window with its open dialogs in front of it; with
    // takeKeyboard the one the user must answer gets the keyboard.
    void bringToFront(bool takeKeyboard);
    // A window of its own under this one stays usable while this is disabled.
    void keepUsable(QWidget *window);
    void wireProbe();
    // Probes address with the user's lines for its server; every probe the
    // window starts goes through here.
    void probeAddress(const QString &address, const RequestHeaders &headers);
    void onProbeFailed(const QString &title, const QString &text);
    // The server wants a user name and password (401): asked for, then the
    // address is probed again with them, at most MaxLoginAsks times in a row.
    void askLogin(const QString &title, const QString &text);
    // The server refused access (403): its message offers to send the
    // cookies of the user's browser, from a cookie file the user picks.
    void offerCookies(const QString &title, const QString &text);
    void onProbeSucceeded(const ProbeResult &result);
    void onFinishedMenu(const QPoint &pos);
    // Selects the row of view under pos (or the current one) and notes its
    // number in Txt_Numero_Selected; 0 when the view has no row there.
    int selectMenuRow(QTreeWidget *view, const QPoint &pos);
    // A Yes/No question that does not block the event loop; onYes runs on Yes.
    void ask(const QString &title, const QString &text, const std::function<void()> &onYes);
    // The Lst_Main2 row Txt_Numero_Selected names, or null.
    QTreeWidgetItem *selectedFinishedRow() const;
    void showStatistics();
    void deleteStatistics();

    DownloadManager *m_engine;
    DownloadView *m_view;
    QStringList m_arguments;
    QHash<QString, QLabel *> m_labels;
    QHash<QString, PictureBox *> m_bars;
    QStackedWidget *m_pages = nullptr;   // one page per tab of Menu
    QPointer<WaitWindow> m_form6;
    QPointer<WaitWindow> m_form5;   // shown from the closing of the window on
    QPointer<QWidget> m_options;
    QSystemTrayIcon *m_tray = nullptr;
    UrlListener *m_listener;
    QList<HandedOver> m_handOffs;
    Notifier *m_notifier = nullptr;
    int m_pendingTab = 0;
    QTimer *m_tabTimer = nullptr;     // looks again whether the waiting tab may show
    QElapsedTimer m_moved;            // since the window last moved or changed size
    bool m_graphsDrawn = false;       // the graphs hold samples (not blank)
    bool m_probeFromHandOff = false;   // the running probe took a handed-over address
    quint64 m_probeTicket = 0;         // its sender waits for the outcome (UrlListener::answerProbe)
    static constexpr int MaxLoginAsks = 3;
    // The last probe the window started: the address as given (with any
    // login), the lines for its server, the login the user typed into the
    // login dialog for it (kept out of the address box), and how many times
    // that dialog asked since the user gave the address.
    QString m_probeAddress;
    RequestHeaders m_probeHeaders;
    QString m_askedLogin;
    int m_loginAsks = 0;

    // New project: the engine's probe, the dialog while it is open, and what
    // Timer_Valide stores once the user confirmed: the project file's text, the
    // name and size the probe found.
    UrlProbe *m_probe = nullptr;
    QPointer<Form2> m_form2;
    QPointer<Stats> m_stats;
};
