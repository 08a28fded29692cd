#pragma once
#include <QElapsedTimer>
#include <QObject>

class QPushButton;
class QWidget;

// Makes a plain top-level window answer the keys of a dialog: Esc clicks its
// cancel button, Enter or Return clicks the button that has the focus or else
// the accepting one. Installed on the window, it sees the keys its children
// leave alone (a line edit passes Enter on, a tree view Esc).
class DialogKeys : public QObject
{
    Q_OBJECT
public:
    DialogKeys(QWidget *dialog, QPushButton *accept, QPushButton *cancel);

    // Enter and Return count only once the window has been the active one for
    // ms: keys meant for another program just before the window came up
    // do not accept it.
    void holdEnterAfterActivation(int ms) { m_holdMs = ms; }

    // Sizes dialog to its contents unless it was sized already, and moves it so
    // that it sits centred over anchor, kept inside anchor's screen. Call it
    // before showing the dialog.
    static void centreOn(QWidget *dialog, const QWidget *anchor);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *m_dialog;
    QPushButton *m_accept;
    QPushButton *m_cancel;
    int m_holdMs = 0;
    QElapsedTimer m_active;   // since the window became active
};
