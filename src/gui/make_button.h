#pragma once
#include <QPushButton>

// A push button carrying the object name the program (and its tests) know it by.
inline QPushButton *makeButton(const QString &name, const QString &text, QWidget *parent)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(name);
    return b;
}
