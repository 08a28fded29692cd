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

// The top-level window of type T on screen, if any.
template<typename T> T *visibleWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *t = qobject_cast<T *>(w); t && t->isVisible())
            return t;
    return nullptr;
}
inline QMessageBox *visibleMessageBox() { return visibleWindow<QMessageBox>(); }
