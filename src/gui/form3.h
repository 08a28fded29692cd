#pragma once
#include "options/option_values.h"

#include <QColor>
#include <QRandomGenerator>
#include <QStringList>
#include <QWidget>

#include <functional>

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QTabBar;
class QTimer;
class PictureBox;

// The options dialog ("Options"): destination folder, pack size, line speed, the
// proxy, the line-speed reference of the graphs and the colours of the bars and graphs, with
// live previews. It reads the settings when it is created, writes them on OK and
// nothing on Cancel.
//
// The dialog is a top-level window that deletes itself when it closes
// (WA_DeleteOnClose); create a new one each time it is opened. On closing it emits
// returnToNewProject() when it was opened from the new-project dialog (the marker
// set by setFromNewProject()), otherwise returnToMainWindow().
class Form3 : public QWidget
{
    Q_OBJECT
public:
    explicit Form3(QWidget *parent = nullptr);

    // Marks the dialog as opened from the new-project dialog (any non-empty text)
    // or not (empty text); kept in the hidden field Txt_From_Form2.
    void setFromNewProject(const QString &marker);
    QString fromNewProject() const;

    // The options as the controls show them now: what OK stores.
    OptionValues values() const;

    // The percentage the preview bars show, 0 to 100.
    int previewCounter() const { return m_previewCounter; }
    // The preview graph's samples (Lst_Graph), oldest first, 50 entries.
    const QStringList &graphSamples() const { return Lst_Graph; }

public slots:
    // Timer_Barre: next step of the animated bars.
    void timerBarreTick();
    // Timer_Graph: shift in one random sample and redraw the graph preview.
    void timerGraphTick();
    // Redraws the graph preview from Lst_Graph.
    void drawGraphPreview();

signals:
    void returnToNewProject();
    void returnToMainWindow();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildMain();
    void buildBarre();
    void buildGraph();
    void applyValues(const OptionValues &v);
    void showFrameForTab(int index);
    void modemOtherChanged();
    void modemSpeedChanged(const QString &speed);
    // The seven colour buttons open a colour dialog preset to the colour they
    // set and return at once; apply runs with the colour the user accepts, and
    // a cancel leaves the colour as it was.
    void chooseColor(const QColor &current, std::function<void(const QColor &)> apply);
    void chooseColor(PictureBox *box, bool background);
    void chooseColor(QColor *field);
    void paintBars();
    void openFolderChooser();
    // A password typed in the proxy's address moves to its own, hidden field.
    void hideProxyPassword();
    void okClicked();
    void showNotNumeric();

    QTabBar *Choix = nullptr;
    QGroupBox *Frm_Main = nullptr;
    QGroupBox *Frm_Barre = nullptr;
    QGroupBox *Frm_Graph = nullptr;
    QStackedWidget *m_frames = nullptr;   // the three frames, one shown

    QLineEdit *Txt_Download_Path = nullptr;
    QPushButton *Command1 = nullptr;
    QButtonGroup *m_packGroup = nullptr;
    QRadioButton *Opt_Pack_5mb = nullptr;
    QRadioButton *Opt_Pack_2mb = nullptr;
    QRadioButton *Opt_Pack_1mb = nullptr;
    QButtonGroup *m_modemGroup = nullptr;
    QRadioButton *Opt_Modem_Other = nullptr;
    QLineEdit *Txt_Modem_Other = nullptr;
    QLineEdit *Txt_Modem_Speed = nullptr;
    // The "Proxy" setting: its address without the password, and the password.
    QLineEdit *Txt_Proxy = nullptr;
    QLineEdit *Txt_Proxy_Password = nullptr;

    PictureBox *Barre1 = nullptr;
    PictureBox *Barre2 = nullptr;
    QTimer *Timer_Barre = nullptr;

    PictureBox *Graph = nullptr;
    QCheckBox *Chk_Show_Modem = nullptr;
    QTimer *Timer_Graph = nullptr;
    QStringList Lst_Graph;

    QLineEdit *Txt_From_Form2 = nullptr;
    QPushButton *Cmd_OK = nullptr;
    QPushButton *Cmd_Annuler = nullptr;

    // The pack size read at loading; kept when it is none of the offered sizes,
    // so that OK leaves such a stored value alone.
    qint64 m_loadedPackSize = OptionValues::Pack500Kb;
    QColor m_graphColumnColor;
    QColor m_modemLineColor;
    qint16 m_previewCounter = 0;
    bool m_replacingModemOther = false;
    QRandomGenerator m_random;
};
