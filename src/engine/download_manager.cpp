#include "engine/download_manager.h"

#include "app/winsock.h"

#include <QTimer>

namespace {
QTimer *makeTimer(QObject *owner, const char *name, int interval, bool running)
{
    auto *t = new QTimer(owner);
    t->setObjectName(QString::fromLatin1(name));
    t->setInterval(interval);
    if (running)
        t->start();
    return t;
}

Winsock *makeSocket(QObject *owner, const QString &name)
{
    auto *w = new Winsock(owner);
    w->setObjectName(name);
    return w;
}
} // namespace

DownloadManager::DownloadManager(QObject *parent)
    : QObject(parent)
{
    m_store.setParent(this);
    m_display.setParent(this);
    m_store.setObjectName(QStringLiteral("ProjectStore"));
    m_display.setObjectName(QStringLiteral("DisplayModel"));

    // Linux keeps its own connections up: the keep-alive tick has nothing to do,
    // but the timer runs as the rest of the program expects.
    Timer_Connect = makeTimer(this, "Timer_Connect", 5000, true);
    Timer_Listen = makeTimer(this, "Timer_Listen", 10000, false);
    Timer_Valide = makeTimer(this, "Timer_Valide", 10, false);
    Timer_Start_Download = makeTimer(this, "Timer_Start_Download", 2000, false);
    static const char *ftpNames[4] = {"Timer_FTP_1", "Timer_FTP_2", "Timer_FTP_3", "Timer_FTP_4"};
    static const int ftpIntervals[4] = {800, 1000, 1200, 1400};
    for (int i = 0; i < 4; ++i) {
        Timer_FTP[i] = makeTimer(this, ftpNames[i], ftpIntervals[i], false);
        Timer_FTP[i]->setSingleShot(true);
    }
    Timer_Barre = makeTimer(this, "Timer_Barre", 200, false);
    Timer_Time = makeTimer(this, "Timer_Time", 1000, false);
    Timer_Speed = makeTimer(this, "Timer_Speed", 1060, false);

    for (int i = 0; i < 4; ++i) {
        Winsock_Slot[i] = makeSocket(this, QStringLiteral("Winsock%1").arg(i + 1));
        WskF_Control[i] = makeSocket(this, QStringLiteral("WskF_%1").arg(i + 1));
        WskF_Data[i] = makeSocket(this, QStringLiteral("WskF%1").arg(i + 1));
    }
    Winsock_Listen = makeSocket(this, QStringLiteral("Winsock_Listen"));

    connect(Timer_Start_Download, &QTimer::timeout, this, &DownloadManager::onQueueTick);
}

DownloadManager::~DownloadManager() = default;

void DownloadManager::onQueueTick()
{
    if (!windowEnabled())
        return;
    // Taking and starting projects arrives with the download engine.
}

void DownloadManager::ReInit()
{
    emit actionEnabledChanged(false);
    for (const QString &b : DisplayModel::barNames())
        m_display.clearBar(b);
    for (const char *b : {"Barre", "Barre4", "Barre3", "Barre2", "Barre1"})
        m_display.paintBar(QString::fromLatin1(b), 0);
    m_display.resetLabels();
    emit graphsCleared();
}
