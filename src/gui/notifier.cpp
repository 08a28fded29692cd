#include "gui/notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSystemTrayIcon>
#include <QVariantMap>

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kProgram = QStringLiteral("zov-kestra-download");
} // namespace

Notifier::Notifier(QObject *parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(onActionInvoked(uint,QString)));
    // A service that reads markup would take "<" or "&" in a file name for
    // the start of a tag: it gets the body escaped.
    auto *caps = new QDBusPendingCallWatcher(
        bus.asyncCall(QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetCapabilities"))), this);
    connect(caps, &QDBusPendingCallWatcher::finished, this, [this, caps] {
        const QDBusPendingReply<QStringList> reply = *caps;
        m_markup = !reply.isError() && reply.value().contains(QStringLiteral("body-markup"));
        caps->deleteLater();
    });
}

void Notifier::setTrayIcon(QSystemTrayIcon *tray)
{
    if (m_tray)
        m_tray->disconnect(this);
    m_tray = tray;
    if (tray)
        connect(tray, &QSystemTrayIcon::messageClicked, this, &Notifier::clicked);
}

void Notifier::notify(const QString &title, const QString &body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        showBalloon(title, body);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // The "default" action is a click on the notice itself.
    call << QStringLiteral("ZOV Kestra Download") << uint(0) << kProgram << title
         << (m_markup ? body.toHtmlEscaped() : body) << QStringList{QStringLiteral("default"), QStringLiteral("Show")}
         << QVariantMap{{QStringLiteral("desktop-entry"), kProgram}} << int(-1);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, title, body] {
        const QDBusPendingReply<uint> reply = *watcher;
        // No service on this desktop: the tray's balloon, where there is one.
        if (reply.isError())
            showBalloon(title, body);
        else
            m_shown.insert(reply.value());
        watcher->deleteLater();
    });
}

void Notifier::onActionInvoked(uint id, const QString &action)
{
    if (m_shown.contains(id) && action == QLatin1String("default"))
        emit clicked();
}

void Notifier::showBalloon(const QString &title, const QString &body)
{
    if (m_tray && m_tray->isVisible() && QSystemTrayIcon::supportsMessages())
        m_tray->showMessage(title, body, QSystemTrayIcon::Information);
}
