#pragma once

#include "install/Downloader.h"
#include "install/ReplaceHelper.h"
#include "install/ZlibHelper.h"
#include "update/CommandAutoInstallToolBody.h"
#include "update/UpdateStatus.h"
#include "update/WorkFolder.h"

#include <QObject>
#include <QString>

#include <memory>
#include <mutex>

namespace UpdateTool {

// Installs one package in three stages: download (with the MD5 check), extraction into the unzip
// folder (skipped for a package that is not an archive) and replace of the installation folder's
// files with backup. Progress and errors are republished tagged with the stage. A stop returns at
// once; its end comes as an error of the stage, once the installation is back as it was. Destroying
// it stops the stage in progress (waiting for the restore), and then removes what the run wrote:
// the downloaded file and the work folders, only when they are the service's own (see WorkFolder).
class ToolBox : public QObject
{
    Q_OBJECT
public:
    ToolBox(const QString& _qstrWorkKey, const CommandAutoInstallToolBody& _body, const QString& _qstrId);
    ~ToolBox() override;

    void startInstall();
    // Asks the stage in progress to end and returns: no stage follows, and a stopped replace puts
    // the saved files back on its own thread before the error reports the end. (An extraction is
    // waited for up to the end of the chunk it writes.)
    void stopInstall();

signals:
    void signErrorOccurred(int emStatus, const QString& _qstrErrorInfo, const QString& strId);
    void signProgress(int emStatus, qint64 bytesReceived, qint64 bytesTotal, const QString& strId);
    void signFinished(const QString& strId);

public slots:
    void slotErrorOccurred(const QString& _qstrErrorInfo, const QString& strId);
    void slotProgress(qint64 bytesReceived, qint64 bytesTotal, const QString& strId);
    void slotFinished(const QString& strId);

private:
    void FillDefaults();
    // The default work folders lie in a folder only the user may enter; checked before each stage.
    bool CheckWorkFolder();
    // Refuses, before anything is written, folders of the user's that the run would have to empty.
    bool CheckFolders();
    void StartUnzip();
    void StartReplace();
    void Fail(int _emStage, const QString& _qstrText);
    void ReportStopped();

    // Destroyed in reverse order: the replacer (and its restore) first.
    Downloader downloader;
    ZlibHelper extractor;
    ReplaceHelper replacer;
    int m_emStage = kNotStarted;
    QString m_qstrWorkKey;
    CommandAutoInstallToolBody m_body;
    QString m_qstrId;
    WorkFolder m_unzipFolder;
    WorkFolder m_backupFolder;
    // Only a file this run brought into being is removed afterwards.
    bool m_blDownloadExisted = true;
    bool m_blDefaultWork = false;
    bool m_blStarted = false;
    bool m_blStopRequested = false;
    // The unzip folder being made ready on the pool. A toolbox destroyed meanwhile leaves its
    // clean-up to that job, so the folder is never removed while it is being emptied.
    struct Preparing
    {
        std::mutex mutex;
        bool done = false;
        bool abandoned = false;
    };
    std::shared_ptr<Preparing> m_pPreparing;
};

} // namespace UpdateTool
