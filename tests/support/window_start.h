#pragma once
#include "gui/form1.h"

#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>

// Shows the main window and waits until its start-up has run.
inline bool startUp(Form1 &w)
{
    QSignalSpy done(&w, &Form1::startupFinished);
    w.show();
    return done.wait(5000);
}

// The message box on screen, if any.
inline QMessageBox *visibleMessageBox()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *b = qobject_cast<QMessageBox *>(w); b && b->isVisible())
            return b;
    return nullptr;
}
