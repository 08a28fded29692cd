#include "gui/wait_window.h"

#include <QCloseEvent>
#include <QLabel>
#include <QVBoxLayout>

WaitWindow::WaitWindow(const QString &name, const QString &text, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::CustomizeWindowHint)
{
    setObjectName(name);
    setWindowTitle(QStringLiteral("ZOV Kestra Download"));
    auto *layout = new QVBoxLayout(this);
    auto *l1 = new QLabel(text, this);
    auto *l2 = new QLabel(QStringLiteral("Please wait..."), this);
    QFont f = l1->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * 1.3);
    l1->setFont(f);
    layout->addWidget(l1);
    layout->addWidget(l2);
    layout->setContentsMargins(24, 18, 24, 18);
}

void WaitWindow::closeEvent(QCloseEvent *event)
{
    if (Stop_Now)
        event->accept();
    else
        event->ignore();
}
