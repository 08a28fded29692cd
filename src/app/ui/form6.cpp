#include "app/ui/form6.h"

#include <QCloseEvent>
#include <QLabel>
#include <QVBoxLayout>

Form6::Form6(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::CustomizeWindowHint)
{
    setObjectName(QStringLiteral("Form6"));
    setWindowTitle(QStringLiteral("ZOV Kestra Download"));
    auto *layout = new QVBoxLayout(this);
    auto *l1 = new QLabel(QStringLiteral("ZOV Kestra Download is loading..."), this);
    auto *l2 = new QLabel(QStringLiteral("Please wait..."), this);
    QFont f = l1->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * 1.3);
    l1->setFont(f);
    layout->addWidget(l1);
    layout->addWidget(l2);
    layout->setContentsMargins(24, 18, 24, 18);
}

void Form6::closeEvent(QCloseEvent *event)
{
    if (Stop_Now)
        event->accept();
    else
        event->ignore();
}
