#include "gui/dialog_keys.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QScreen>

DialogKeys::DialogKeys(QWidget *dialog, QPushButton *accept, QPushButton *cancel)
    : QObject(dialog)
    , m_dialog(dialog)
    , m_accept(accept)
    , m_cancel(cancel)
{
    dialog->installEventFilter(this);
}

bool DialogKeys::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_dialog)
        return false;
    if (event->type() == QEvent::WindowActivate)
        m_active.start();
    else if (event->type() == QEvent::WindowDeactivate)
        m_active.invalidate();
    if (event->type() != QEvent::KeyPress)
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    if (key->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier))
        return false;
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    if (enter && m_holdMs > 0 && (!m_active.isValid() || m_active.elapsed() < m_holdMs))
        return true;
    if (key->key() == Qt::Key_Escape) {
        m_cancel->click();
        return true;
    }
    if (enter) {
        auto *focused = qobject_cast<QPushButton *>(QApplication::focusWidget());
        QPushButton *target = focused && m_dialog->isAncestorOf(focused) ? focused : m_accept;
        if (target->isEnabled() && target->isVisible())
            target->click();
        return true;
    }
    return false;
}

void DialogKeys::centreOn(QWidget *dialog, const QWidget *anchor)
{
    if (!anchor)
        return;
    if (!dialog->testAttribute(Qt::WA_Resized))
        dialog->adjustSize();
    QRect r(QPoint(), dialog->size());
    r.moveCenter(anchor->geometry().center());
    if (const QScreen *screen = anchor->screen()) {
        const QRect room = screen->availableGeometry();
        r.moveLeft(qBound(room.left(), r.left(), qMax(room.left(), room.right() - r.width())));
        r.moveTop(qBound(room.top(), r.top(), qMax(room.top(), room.bottom() - r.height())));
    }
    dialog->setGeometry(r); // the client area: the frame is added around it
}
