#pragma once
#include <QWidget>

// The loading window shown while start-up reads the settings and the project
// store. It cannot be closed until start-up sets Stop_Now.
class Form6 : public QWidget
{
    Q_OBJECT
public:
    explicit Form6(QWidget *parent = nullptr);
    bool Stop_Now = false;

protected:
    void closeEvent(QCloseEvent *event) override;
};
