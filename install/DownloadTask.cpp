#include "install/DownloadTask.h"

DownloadTask::DownloadTask(const QUrl& _url, const QString& _qstrFilePath, const QString& _qstrMd5,
                           const QString& _qstrId)
    : m_url(_url), m_qstrFilePath(_qstrFilePath), m_qstrMd5(_qstrMd5), m_qstrId(_qstrId)
{
    ForwardReports(m_downloader, &Downloader::signProgress, &Downloader::signFinished,
                   &Downloader::signErrorOccurred);
}

DownloadTask::~DownloadTask()
{
    // The Downloader's own destructor stops a download still running; nobody asks for its report.
    m_downloader.disconnect(this);
}

void DownloadTask::start()
{
    m_downloader.downloadFile(m_url, m_qstrFilePath, m_qstrMd5, m_qstrId);
}

void DownloadTask::requestStop()
{
    MarkStopRequested();
    m_downloader.stopDownload();
}
