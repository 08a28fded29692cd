#include "gui/login_dialog.h"

#include "gui/make_button.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

LoginDialog::LoginDialog(const QString &reason, const QString &server, const QString &user, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("LoginDialog"));
    setWindowTitle(QStringLiteral("User name and password"));

    auto *layout = new QVBoxLayout(this);
    auto *said = new QLabel(reason, this);
    said->setObjectName(QStringLiteral("Lbl_Reason"));
    said->setWordWrap(true);
    layout->addWidget(said);

    auto *grid = new QGridLayout;
    Txt_User = new QLineEdit(user, this);
    Txt_User->setObjectName(QStringLiteral("Txt_User"));
    Txt_Password = new QLineEdit(this);
    Txt_Password->setObjectName(QStringLiteral("Txt_Password"));
    Txt_Password->setEchoMode(QLineEdit::Password);
    auto *host = new QLabel(server, this);
    host->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(new QLabel(QStringLiteral("Server:"), this), 0, 0);
    grid->addWidget(host, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("User name:"), this), 1, 0);
    grid->addWidget(Txt_User, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Password:"), this), 2, 0);
    grid->addWidget(Txt_Password, 2, 1);
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);

    addOkCancel(layout, this, &Cmd_OK, &Cmd_Annuler);

    connect(Cmd_OK, &QPushButton::clicked, this, &QDialog::accept);
    connect(Cmd_Annuler, &QPushButton::clicked, this, &QDialog::reject);
    // A name refused with its password: the password is what to type again.
    (user.isEmpty() ? Txt_User : Txt_Password)->setFocus();
    setMinimumWidth(360);
}

QString LoginDialog::user() const
{
    return Txt_User->text();
}

QString LoginDialog::password() const
{
    return Txt_Password->text();
}
