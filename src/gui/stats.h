#pragma once
#include <QString>
#include <QStringList>
#include <QWidget>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTabBar;
class QTimer;

// The statistics window of a finished project: on "Generals" its name, address,
// size, download time and speeds; on "Graphics" the snapshots of its two speed
// graphs, three at a time. It only reads the project's folder.
//
// A top-level window that deletes itself when it closes. showProject() fills the
// fields the caller knows and starts Timer, whose one tick reads the folder,
// emits loaded() (the main window disables itself) and shows the window; closing
// it emits unloaded().
class Stats : public QWidget
{
    Q_OBJECT
public:
    explicit Stats(QWidget *parent = nullptr);

    // name, address and size text as the finished list shows them; folder is
    // the project's folder.
    void showProject(const QString &name, const QString &url, const QString &size,
                     const QString &folder);
    // Tab strip click: 1 "Generals", anything else "Graphics".
    void selectTab(int index);

    QTabBar *TabStrip1;
    QGroupBox *Frm_General, *Frm_Vitesse, *Frm_Graph;
    QLineEdit *Txt_Project, *Txt_Url, *Txt_Poid_File, *Txt_Time_Download;
    QLineEdit *Txt_Vitesse_Max, *Txt_Vitesse_Min, *Txt_Vitesse_m;
    // Average-speed snapshots (graph 1) and immediate-speed snapshots (graph 2).
    QLabel *Pict_Stats[3], *Pict_Stats2[3];
    QPushButton *Cmd_Prec_1, *Cmd_For_1, *Cmd_Prec_2, *Cmd_For_2, *Cmd_Close;
    QTimer *Timer;

signals:
    void loaded();
    void unloaded();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // One graph's snapshots: names ordered by number, the first one shown.
    struct Gallery
    {
        QStringList names;
        int page = 0;
        QLabel **pictures;
        QPushButton *prec;
        QPushButton *next;
    };

    void timerTick();
    void showPage(const Gallery &g);
    void turnPage(Gallery &g, int step);

    QStackedWidget *m_pages;
    QString m_folder;
    Gallery m_graph1{};
    Gallery m_graph2{};
};
