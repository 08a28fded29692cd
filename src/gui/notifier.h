#pragma once
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

class QSystemTrayIcon;

// Tells the user, through the desktop, what happened while the program's
// window was not looked at (a download finished or stopped). The desktop's
// notification service (org.freedesktop.Notifications on the session bus)
// shows it like every other program's notices; without one, the tray icon's
// own balloon stands in, and without either nothing is shown. Tests put a
// notifier of their own in its place (notify() is virtual).
class Notifier : public QObject
{
    Q_OBJECT
public:
    explicit Notifier(QObject *parent = nullptr);

    // The tray icon whose balloon stands in for a missing service (null: none).
    void setTrayIcon(QSystemTrayIcon *tray);
    // Shows title and body (plain text) once; returns at once.
    virtual void notify(const QString &title, const QString &body);

signals:
    // The user clicked a notice (or its balloon): the window should come up.
    void clicked();

private slots:
    void onActionInvoked(uint id, const QString &action);

private:
    void showBalloon(const QString &title, const QString &body);

    QPointer<QSystemTrayIcon> m_tray;
    QSet<uint> m_shown;          // notices of this program the service holds
    bool m_markup = false;       // the service reads the body as markup
};
