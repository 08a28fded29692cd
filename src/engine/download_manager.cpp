#include "engine/download_manager.h"

#include "core/settings.h"
#include "core/winsock.h"
#include "engine/url_helpers.h"
#include "engine/url_probe.h"

DownloadManager::DownloadManager(QObject *parent)
    : QObject(parent)
{
    m_store.setParent(this);
    m_store.setObjectName(QStringLiteral("ProjectStore"));
    // Authorities the user trusts for HTTPS besides the system's; a file that
    // cannot be used refuses HTTPS connections with its reason.
    Winsock::setAuthorityFile(Settings::caCertificateFile());
    m_queue = new ProjectQueue(*this, m_store);
    m_queue->setObjectName(QStringLiteral("ProjectQueue"));
    m_probe = new UrlProbe(this);
    m_probe->setObjectName(QStringLiteral("UrlProbe"));
}

DownloadManager::~DownloadManager() = default;

DownloadStatus DownloadManager::status() const
{
    return m_download ? m_download->status() : DownloadStatus();
}

void DownloadManager::setSlotTimeouts(int stallMs, int retryMs)
{
    m_stallMs = stallMs;
    m_retryMs = retryMs;
    if (m_download)
        m_download->setPatience(stallMs, retryMs);
}

void DownloadManager::forget()
{
    // A download that ended is dropped from the event loop: it may still be
    // on the stack that told its end.
    if (Download *d = m_download) {
        d->disconnect(this);
        d->deleteLater();
        m_download = nullptr;
    }
}

void DownloadManager::takeProject(const QString &name)
{
    forget();
    auto *d = new Download(m_store, name, this);
    d->setObjectName(QStringLiteral("Download"));
    m_download = d;
    if (m_stallMs >= 0)
        d->setPatience(m_stallMs, m_retryMs);
    d->setClock(m_clock);
    d->setFinishRecorder([this, name](QString *error) { return m_queue->finish(name, error); });
    connect(d, &Download::stateChanged, this, &DownloadManager::stateChanged);
    connect(d, &Download::statusChanged, this, &DownloadManager::statusChanged);
    connect(d, &Download::slotActivityChanged, this, &DownloadManager::slotActivityChanged);
    connect(d, &Download::actionEnabledChanged, this, &DownloadManager::actionEnabledChanged);
    connect(d, &Download::tabRequested, this, &DownloadManager::tabRequested);
    connect(d, &Download::displayReset, this, &DownloadManager::displayReset);
    connect(d, &Download::runBegan, this, &DownloadManager::runBegan);
    connect(d, &Download::speedSampled, this, &DownloadManager::speedSampled);
    connect(d, &Download::runEnded, this, &DownloadManager::runEnded);
    connect(d, &Download::paused, this, &DownloadManager::downloadPaused);
    connect(d, &Download::failed, this, &DownloadManager::downloadFailed);
    connect(d, &Download::finished, this, &DownloadManager::projectFinished);
    connect(d, &Download::sizeLearned, this, [this, d](const QString &project, qint64 size) {
        // Kept in the record, so that the project is no longer streamed
        // again from its first byte after a restart.
        m_store.recordSize(project, size, d->packSize());
    });
    emit stateChanged(State::Starting);
    emit projectStarted(name);
}

void DownloadManager::beginRun()
{
    if (m_download)
        m_download->begin();
}

void DownloadManager::dropRun()
{
    if (m_download)
        m_download->halt();
    forget();
    emit actionEnabledChanged(false);
    emit displayReset();
}

void DownloadManager::actionClicked()
{
    if (isPaused())
        resumeDownload();
    else
        pauseDownload();
}

void DownloadManager::pauseDownload()
{
    if (m_download)
        m_download->pause();
}

void DownloadManager::resumeDownload()
{
    if (m_download)
        m_download->resume();
}

void DownloadManager::joinFinalFile()
{
    if (m_download && m_download->isActive())
        m_download->joinFinalFile();
}

void DownloadManager::shutdown()
{
    m_queue->shutdown();
    Ferme_Connect(*m_probe->probeSocket());
    if (m_download)
        m_download->save();
}
