#pragma once

#include "core/Task.h"
#include "install/Downloader.h"

#include <QString>
#include <QUrl>

// One download as a task of the install ability: the Downloader's reports become the task's
// progress and its one result ("finish", or the Downloader's error text).
class DownloadTask : public Task
{
    Q_OBJECT
public:
    DownloadTask(const QUrl& _url, const QString& _qstrFilePath, const QString& _qstrMd5,
                 const QString& _qstrId);
    ~DownloadTask() override;

    void start() override;
    // The Downloader stops on this thread without waiting: it aborts the reply and removes the
    // partial file; its USER_STOPED report becomes the result.
    void requestStop() override;

    Downloader& Worker() { return m_downloader; }

private:
    Downloader m_downloader;
    QUrl m_url;
    QString m_qstrFilePath;
    QString m_qstrMd5;
    QString m_qstrId;
};
