#include "update/ToolBox.h"
#include "core/LogCategories.h"

#include "core/ClientPath.h"
#include "core/Config.h"
#include "core/PrivateFolder.h"
#include "core/WorkerPool.h"
#include "install/CommonFunction.h"

#include <QDebug>
#include <QFileInfo>
#include <QUrl>

namespace UpdateTool {

ToolBox::ToolBox(const QString& _qstrWorkKey, const CommandAutoInstallToolBody& _body, const QString& _qstrId)
    : m_qstrWorkKey(_qstrWorkKey), m_body(_body), m_qstrId(_qstrId)
{
    FillDefaults();
    connect(&downloader, &Downloader::signErrorOccurred, this, &ToolBox::slotErrorOccurred);
    connect(&extractor, &ZlibHelper::signErrorOccurred, this, &ToolBox::slotErrorOccurred);
    connect(&replacer, &ReplaceHelper::signErrorOccurred, this, &ToolBox::slotErrorOccurred);
    connect(&downloader, &Downloader::signProgress, this, &ToolBox::slotProgress);
    connect(&extractor, &ZlibHelper::signUnzipProgress, this, &ToolBox::slotProgress);
    connect(&replacer, &ReplaceHelper::signReplaceProgress, this, &ToolBox::slotProgress);
    connect(&downloader, &Downloader::signFinished, this, &ToolBox::slotFinished);
    connect(&extractor, &ZlibHelper::signUnzipFinished, this, &ToolBox::slotFinished);
    connect(&replacer, &ReplaceHelper::signReplaceFinished, this, &ToolBox::slotFinished);
}

ToolBox::~ToolBox()
{
    // Reports of the stops below would reach an owner that has already let this task go.
    downloader.disconnect(this);
    extractor.disconnect(this);
    replacer.disconnect(this);
    // The restore completes here, before any folder is removed.
    replacer.stopReplace();
    extractor.CancelUnzipTask();
    downloader.stopDownload();
    if (!m_blStarted)
        return;
    if (!m_blDownloadExisted)
        CommonFunction::RemoveFileAsync(m_body.downloadPath);
    if (m_pPreparing) {
        std::lock_guard<std::mutex> lock(m_pPreparing->mutex);
        m_pPreparing->abandoned = true;
        if (!m_pPreparing->done)
            return;
    }
    m_unzipFolder.CleanUp();
    m_backupFolder.CleanUp();
}

void ToolBox::FillDefaults()
{
    m_blDefaultWork =
        m_body.downloadPath.isEmpty() || m_body.unzipPath.isEmpty() || m_body.backupPath.isEmpty();
    if (m_body.downloadPath.isEmpty()) {
        m_body.downloadPath =
            CommonFunction::GetDownloadFolder(m_qstrWorkKey) + QStringLiteral("/download.zip");
        qCDebug(lcUpdate).noquote() << "ToolBox::ToolBox::downloadPath is empty, auto set to:" +
                                           m_body.downloadPath;
    }
    if (m_body.unzipPath.isEmpty()) {
        m_body.unzipPath = CommonFunction::GetUnzipFolder(m_qstrWorkKey) + QLatin1Char('/');
        qCDebug(lcUpdate).noquote() << "ToolBox::ToolBox::unzipPath is empty, auto set to:" +
                                           m_body.unzipPath;
    }
    if (m_body.backupPath.isEmpty()) {
        m_body.backupPath = CommonFunction::GetBackupFolder(m_qstrWorkKey) + QLatin1Char('/');
        qCDebug(lcUpdate).noquote() << "ToolBox::ToolBox::backupPath is empty, auto set to:" +
                                           m_body.backupPath;
    }
    if (m_body.installPath.isEmpty()) {
        m_body.installPath = CommonFunction::GetDefaultInstallPath(m_body.appid);
        qCDebug(lcUpdate).noquote() << "ToolBox::ToolBox::installPath is empty, auto set to:" +
                                           m_body.installPath;
    }
}

bool ToolBox::CheckWorkFolder()
{
    if (!m_blDefaultWork)
        return true;
    // Opening the download folder checks every folder above it up to the cache folder.
    const PrivateFolder folder = PrivateFolder::Open(
        PrivateFolder::CacheRoot(), {PrivateFolder::ServiceFolderName(), QStringLiteral("work"),
                                     m_qstrWorkKey, QStringLiteral("download")});
    if (folder.IsValid())
        return true;
    Fail(m_emStage, QStringLiteral("refused: the work folder is not private to this user:") + folder.Error());
    return false;
}

bool ToolBox::CheckFolders()
{
    // A folder on the way that another user may change would let them choose what is installed
    // or where the run writes: refused before anything is fetched. The download file is the
    // downloader's to check, which it does before it writes.
    const struct
    {
        const QString& path;
        int stage;
        const char* what;
    } folders[] = {{m_body.unzipPath, kUnzipping, "unzip"},
                   {m_body.backupPath, kReplacing, "backup"},
                   {m_body.installPath, kReplacing, "install"}};
    for (const auto& folder : folders) {
        const ClientPath existing = ClientPath::OpenExisting(folder.path);
        if (!existing.IsValid()) {
            Fail(folder.stage, QStringLiteral("refused: the %1 folder is not closed to other users:")
                                       .arg(QLatin1String(folder.what)) +
                                   existing.Error());
            return false;
        }
    }
    m_unzipFolder = WorkFolder(m_body.unzipPath);
    m_backupFolder = WorkFolder(m_body.backupPath);
    // Without extraction the unzip folder is only read from, so it may be anyone's.
    if (!m_body.bNoZip && !m_unzipFolder.MayEmpty()) {
        Fail(kUnzipping,
             QStringLiteral(
                 "refused: the unzip folder holds files the service did not put there, or is no folder:") +
                 m_body.unzipPath);
        return false;
    }
    if (!m_backupFolder.MayEmpty()) {
        Fail(kReplacing,
             QStringLiteral(
                 "refused: the backup folder holds files the service did not put there, or is no folder:") +
                 m_body.backupPath);
        return false;
    }
    if (m_body.bNoZip && m_unzipFolder.GetKind() == WorkFolder::Kind::Missing)
        m_unzipFolder.Prepare();
    return true;
}

void ToolBox::startInstall()
{
    m_emStage = kDownloading;
    if (!CheckWorkFolder() || !CheckFolders())
        return;
    m_blStarted = true;
    const QFileInfo download(m_body.downloadPath);
    m_blDownloadExisted = download.exists() || download.isSymLink();
    downloader.RequireSignature(Config::Instance().GetUpdatePublicKey(), m_body.signature);
    downloader.downloadFile(QUrl(m_body.url), m_body.downloadPath, m_body.md5, m_qstrId);
}

void ToolBox::stopInstall()
{
    m_blStopRequested = true;
    switch (m_emStage) {
    case kDownloading:
        downloader.stopDownload();
        break;
    case kUnzipping:
        // While the unzip folder is being made ready, the job's end sees the stop. The extraction
        // ends on its own thread within a chunk; the destructor joins it.
        if (!m_pPreparing)
            extractor.requestStop();
        break;
    case kReplacing:
        replacer.requestStop();
        break;
    default:
        break;
    }
}

void ToolBox::Fail(int _emStage, const QString& _qstrText)
{
    qCCritical(lcUpdate).noquote() << "ToolBox::Fail:" + _qstrText;
    emit signErrorOccurred(_emStage, _qstrText, m_qstrId);
}

void ToolBox::ReportStopped()
{
    qCWarning(lcUpdate).noquote() << "ToolBox:stopped before the next stage:" + m_qstrId;
    emit signErrorOccurred(m_emStage, QStringLiteral("stopped"), m_qstrId);
}

void ToolBox::StartUnzip()
{
    m_emStage = kUnzipping;
    if (!CheckWorkFolder())
        return;
    // Extracted into only while it is still the folder checked and still empty. A folder left over
    // by an earlier run is emptied first, which walks all of it: on the pool.
    auto preparing = std::make_shared<Preparing>();
    m_pPreparing = preparing;
    const bool queued = WorkerPool::Service().Run(
        this,
        [preparing, unzip = m_unzipFolder, backup = m_backupFolder]() mutable {
            const bool ok = unzip.Prepare();
            bool abandoned = false;
            {
                std::lock_guard<std::mutex> lock(preparing->mutex);
                preparing->done = true;
                abandoned = preparing->abandoned;
            }
            if (abandoned) {
                unzip.CleanUp();
                backup.CleanUp();
            }
            return ok;
        },
        [this](bool _blPrepared) {
            m_pPreparing.reset();
            if (m_blStopRequested) {
                ReportStopped();
                return;
            }
            if (!_blPrepared) {
                qCCritical(lcUpdate).noquote() << "ToolBox::ToolBox:deletefolder failed:" + m_body.unzipPath;
                Fail(kUnzipping, QStringLiteral("failed to clean unzip folder"));
                return;
            }
            extractor.startUnzipV2(m_body.downloadPath, m_body.unzipPath, m_qstrId);
        },
        true);
    if (!queued) {
        m_pPreparing.reset();
        Fail(kUnzipping, QStringLiteral("failed to clean unzip folder"));
    }
}

void ToolBox::StartReplace()
{
    m_emStage = kReplacing;
    if (!CheckWorkFolder())
        return;
    // The replace reads the unzip folder by its path again: it must still lead to the very
    // folder the extraction wrote, not to one put in its place since.
    if (!m_body.bNoZip && !extractor.IsStillDestination(m_body.unzipPath)) {
        Fail(kReplacing, QStringLiteral("refused: the unzip folder is no longer the folder extracted into:") +
                             m_body.unzipPath);
        return;
    }
    // The replacer makes the backup folder, or empties it when it is the service's own; the
    // folder was checked before the download began.
    replacer.startReplace(m_body.unzipPath, m_body.installPath, QString(), true, m_body.backupPath, m_qstrId);
}

void ToolBox::slotFinished(const QString& strId)
{
    // A stage that ended just as the stop came starts no other.
    if (m_blStopRequested && m_emStage != kReplacing && m_emStage != kFinished) {
        ReportStopped();
        return;
    }
    switch (m_emStage) {
    case kDownloading:
        if (m_body.bNoZip)
            StartReplace();
        else
            StartUnzip();
        break;
    case kUnzipping:
        StartReplace();
        break;
    case kReplacing:
        m_emStage = kFinished;
        emit signFinished(strId);
        break;
    default:
        break;
    }
}

void ToolBox::slotErrorOccurred(const QString& _qstrErrorInfo, const QString& strId)
{
    emit signErrorOccurred(m_emStage, _qstrErrorInfo, strId);
}

void ToolBox::slotProgress(qint64 bytesReceived, qint64 bytesTotal, const QString& strId)
{
    emit signProgress(m_emStage, bytesReceived, bytesTotal, strId);
}

} // namespace UpdateTool
