#pragma once
#include <QBoxLayout>
#include <QPushButton>

// A push button carrying the object name the program (and its tests) know it by.
inline QPushButton *makeButton(const QString &name, const QString &text, QWidget *parent)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(name);
    return b;
}

// The OK and Cancel buttons of a dialog ("Cmd_OK", the default one, and
// "Cmd_Annuler"), right-aligned in a row added to layout.
inline void addOkCancel(QBoxLayout *layout, QWidget *parent, QPushButton **ok, QPushButton **cancel)
{
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    *ok = makeButton(QStringLiteral("Cmd_OK"), QStringLiteral("OK"), parent);
    *cancel = makeButton(QStringLiteral("Cmd_Annuler"), QStringLiteral("Cancel"), parent);
    (*ok)->setDefault(true);
    buttons->addWidget(*ok);
    buttons->addWidget(*cancel);
    layout->addLayout(buttons);
}
