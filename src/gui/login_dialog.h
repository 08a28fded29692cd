#pragma once
#include <QDialog>

class QLineEdit;
class QPushButton;

// Asks for the user name and password a server wants before it gives the
// file (its answer was 401). A small dialog over the main window; the
// password is typed hidden. It stores nothing: whoever opened it reads
// user() and password() once it is accepted.
class LoginDialog : public QDialog
{
    Q_OBJECT
public:
    // reason: what the server said ("The server asks for a user name and
    // password !"); server: the host (and port) it is for; user: the name to
    // show at first (the one refused, when a password was wrong).
    LoginDialog(const QString &reason, const QString &server, const QString &user, QWidget *parent);

    QString user() const;
    QString password() const;

    QLineEdit *Txt_User, *Txt_Password;
    QPushButton *Cmd_OK, *Cmd_Annuler;
};
