#include "install/DownloadTask.h"

#include "core/PercentFilter.h"
#include "core/TaskCodes.h"

DownloadTask::DownloadTask(const QUrl& _url, const QString& _qstrFilePath, const QString& _qstrMd5,
                           const QString& _qstrId)
    : m_url(_url), m_qstrFilePath(_qstrFilePath), m_qstrMd5(_qstrMd5), m_qstrId(_qstrId)
{
    connect(&m_downloader, &Downloader::signProgress, this,
            [this](qint64 _nReceived, qint64 _nTotal, const QString&) {
                Report(PercentFilter::Percent(_nReceived, _nTotal));
            });
    connect(&m_downloader, &Downloader::signFinished, this, [this](const QString&) {
        Finish(TaskResult{TaskCodes::kFinish, TaskCodes::Text(TaskCodes::kFinish), {}, {}});
    });
    connect(&m_downloader, &Downloader::signErrorOccurred, this,
            [this](const QString& _qstrError, const QString&) {
                Finish(TaskResult{TaskCodes::kFailed, _qstrError, {}, {}});
            });
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
