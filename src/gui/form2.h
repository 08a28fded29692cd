#pragma once
#include "engine/url_probe.h"

#include <QByteArray>
#include <QPointer>
#include <QWidget>

class DialogKeys;
class Form3;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;

// The new-project dialog ("New project"): shows what the probe found (name,
// address, size) and the options the project will be stored with (pack size,
// destination, line-speed reference), and lets the user confirm, cancel or edit
// the options first. It writes nothing itself: "Download" hands the project
// file's text to the main window, which stores it.
//
// A dialog window over its parent (the main window) that deletes itself when
// it closes (WA_DeleteOnClose); create a new one for each probe. Every way of closing it
// ("Download", "Cancel", the window frame) ends with unloaded(); closing by the
// frame is a cancel.
class Form2 : public QWidget
{
    Q_OBJECT
public:
    // Reads the destination and the line-speed reference from the settings.
    explicit Form2(QWidget *parent = nullptr);
    ~Form2() override;

    // The probe's hand-off: fills the fields in the order the probe reports
    // them (size, name, address, pack size text, pack size value, size value).
    void fill(const ProbeResult &result);

    // The fourteen lines of the project file as "Download" builds them: the
    // probed address and size, the options the dialog shows, the colours of the
    // settings, "Type:" 1 for FTP, status 1 (waiting).
    QByteArray projectText() const;

    // Shown for an address handed over from elsewhere: it comes up without
    // taking the keyboard, and Enter accepts it only once the user has turned
    // to it. Call before show().
    void showWithoutKeyboard();

    // The options dialog opened by "Edit..." while it is open.
    Form3 *optionsDialog() const;

    QGroupBox *Frame_Generals;
    QLineEdit *Txt_Project_Name, *Txt_Url, *Txt_FileSize;
    QGroupBox *Frame_Options;
    QLineEdit *Txt_Pack, *Txt_dest;
    QPushButton *Cmd_Edit;
    QCheckBox *Chk_modem;
    QPushButton *Cmd_Downloader, *Cmd_Annuler;
    // Raw values behind the formatted texts, never shown.
    QLineEdit *Txt_File_size_ok, *Txt_Pack_size_ok;

signals:
    // "Download": the project file's text, to be stored by the main window.
    void downloadConfirmed(const QByteArray &projectText);
    // The dialog is closing, whichever way.
    void unloaded();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void loadOptions();
    void editOptions();
    void returnFromOptions();
    void download();
    void setDestination(const QString &path);

    ProbeResult m_result;
    QPointer<Form3> m_form3;
    DialogKeys *m_keys;
};
