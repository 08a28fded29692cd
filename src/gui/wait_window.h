#pragma once
#include <QWidget>

// A small window that asks the user to wait: the loading window (Form6) while
// start-up reads the settings and the project store, and the shutdown window
// (Form5) while the program closes its connections and saves its download. It
// cannot be closed by the user; only the program closes it, after setting
// Stop_Now.
class WaitWindow : public QWidget
{
    Q_OBJECT
public:
    // name: "Form6" or "Form5"; text: the first, bold line.
    WaitWindow(const QString &name, const QString &text, QWidget *parent = nullptr);
    bool Stop_Now = false;

protected:
    void closeEvent(QCloseEvent *event) override;
};
