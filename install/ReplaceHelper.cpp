#include "install/ReplaceHelper.h"
#include "core/LogCategories.h"

#include "core/ClientPath.h"
#include "core/FillPlaceholders.h"
#include "core/ServiceThread.h"
#include "install/CommonFunction.h"
#include "install/FolderCursor.h"
#include "install/PathClaim.h"
#include "install/ProgressThrottle.h"
#include "install/ReplaceFileStep.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

namespace {

bool IsPresent(const QFileInfo& _info)
{
    return _info.exists() || _info.isSymLink();
}

// A detail text of the vocabulary with its placeholders filled in.
template <typename... Args> QString Detail(const char* _szKey, const Args&... _args)
{
    return FillPlaceholders(ReplaceHelper::tr(_szKey), _args...);
}

} // namespace

ReplaceHelper::ReplaceHelper(QObject* _pParent) : QObject(_pParent) {}

QString ReplaceHelper::ResolvePath(const QString& _qstrPath)
{
    if (_qstrPath.isEmpty() || !QDir::isAbsolutePath(_qstrPath))
        return QString();
    for (const QChar ch : _qstrPath)
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7f)
            return QString();
    QString existing = QDir::cleanPath(_qstrPath);
    if (QDir(existing).isRoot())
        return QString();
    QString rest;
    while (!QFileInfo::exists(existing)) {
        const QFileInfo info(existing);
        if (info.isRoot() || info.fileName().isEmpty())
            return QString();
        rest.prepend(QLatin1Char('/') + info.fileName());
        existing = info.absolutePath();
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    if (canonical.isEmpty())
        return QString();
    const QString resolved = canonical == QLatin1String("/") ? rest : canonical + rest;
    return resolved.isEmpty() || resolved == QLatin1String("/") ? QString() : resolved;
}

ReplaceHelper::~ReplaceHelper()
{
    qCWarning(lcInstall) << "~ReplaceHelper()";
    stopReplace();
}

QString ReplaceHelper::LastError() const
{
    std::lock_guard<std::mutex> lock(m_mutexError);
    return m_qstrLastError;
}

void ReplaceHelper::startReplace(const QString& _qstrSource, const QString& _qstrDestination,
                                 const QString& _qstrIgnoreList, bool _blBackup,
                                 const QString& _qstrBackupFolder, const QString& _qstrId)
{
    stopReplace();
    m_blStop = false;
    m_blFinished = false;
    {
        std::lock_guard<std::mutex> lock(m_mutexError);
        m_qstrLastError.clear();
    }
    m_blBackup = _blBackup;
    m_qstrDestination = _qstrDestination;
    m_qstrBackupFolder = _qstrBackupFolder;
    m_qstrId = _qstrId;
    m_qstrTempSuffix = QStringLiteral(".qorv-") + QUuid::createUuid().toString(QUuid::Id128).left(8) +
                       QStringLiteral(".tmp");
    m_qstrResolvedDestination.clear();
    m_qstrResolvedBackup.clear();
    m_listSaved.clear();
    m_listCreated.clear();
    m_blInProgress = true;
    m_worker.thread =
        StartServiceThread(&ReplaceHelper::Run, this, _qstrSource, _qstrDestination, _qstrIgnoreList);
}

void ReplaceHelper::requestStop()
{
    m_blStop = true;
}

void ReplaceHelper::stopReplace()
{
    m_blStop = true;
    if (m_worker.thread.joinable()) {
        if (m_worker.thread.get_id() == std::this_thread::get_id()) {
            qCCritical(lcInstall) << "ReplaceHelper::stopReplace:called from its own worker";
            return;
        }
        // The worker ends every run itself, restoring what a failed or stopped run had saved.
        m_worker.thread.join();
    }
}

void ReplaceHelper::RestoreRun()
{
    if (!m_blBackup.exchange(false))
        return;
    // Only what this very run saved goes back; the backup folder may hold older files.
    bool ok = true;
    if (!m_listSaved.isEmpty() || !m_listCreated.isEmpty()) {
        const RestoreResult result = RestoreSaved(m_qstrResolvedDestination, m_qstrResolvedBackup,
                                                  m_listSaved, m_listCreated, m_qstrTempSuffix);
        ok = result.nFailed == 0;
    }
    qCWarning(lcInstall) << "restore result:" << ok;
    m_listSaved.clear();
    m_listCreated.clear();
}

void ReplaceHelper::ReleaseRun()
{
    if (m_pJournal) {
        m_pJournal->Remove();
        m_pJournal.reset();
    }
    m_pClaim.reset();
}

ReplaceHelper::RunEnd ReplaceHelper::Fail(const QString& _qstrDetail)
{
    const QString text = tr("INSTALL_UPDATE_FAILED") + QLatin1Char('|') + _qstrDetail;
    qCWarning(lcInstall).noquote() << "ReplaceHelper::Fail:" + text;
    std::lock_guard<std::mutex> lock(m_mutexError);
    m_qstrLastError = text;
    return RunEnd::Failed;
}

void ReplaceHelper::Run(QString _qstrSource, QString _qstrDestination, QString _qstrIgnoreList)
{
    const RunEnd end = RunSteps(_qstrSource, _qstrDestination, _qstrIgnoreList);
    if (end == RunEnd::Completed) {
        qCWarning(lcInstall).noquote() << "signReplaceFinished! " + _qstrDestination;
        ReleaseRun();
        m_blBackup = false;
        m_listSaved.clear();
        m_listCreated.clear();
        m_blInProgress = false;
        emit signReplaceFinished(m_qstrId);
        m_blFinished = true;
        return;
    }
    // The restore runs here, off the owner's thread; the error goes out once it is done, so the
    // owner that drops the task on it never waits for the restore.
    RestoreRun();
    ReleaseRun();
    if (end == RunEnd::Stopped) {
        const QString text = tr("INSTALL_UPDATE_FAILED") + QLatin1Char('|') + Detail("USER_STOPED");
        qCWarning(lcInstall).noquote() << text;
        std::lock_guard<std::mutex> lock(m_mutexError);
        m_qstrLastError = text;
    }
    m_blInProgress = false;
    emit signErrorOccurred(LastError(), m_qstrId);
}

bool ReplaceHelper::CheckPaths(const QString& _qstrSource, const QString& _qstrDestination, Paths& _paths)
{
    _paths.qstrSource = ResolvePath(_qstrSource);
    if (_paths.qstrSource.isEmpty()) {
        Fail(Detail("INVALID_PATH", _qstrSource));
        return false;
    }
    _paths.qstrDestination = ResolvePath(_qstrDestination);
    if (_paths.qstrDestination.isEmpty()) {
        Fail(Detail("INVALID_PATH", _qstrDestination));
        return false;
    }
    if (PathClaim::Overlaps(_paths.qstrSource, _paths.qstrDestination)) {
        Fail(Detail("PATHS_OVERLAP", _qstrSource, _qstrDestination));
        return false;
    }
    if (!m_blBackup)
        return true;
    if (m_qstrBackupFolder.isEmpty()) {
        Fail(Detail("BACKUP_FOLDER_EMPTY"));
        return false;
    }
    _paths.qstrBackup = ResolvePath(m_qstrBackupFolder);
    if (_paths.qstrBackup.isEmpty()) {
        Fail(Detail("INVALID_PATH", m_qstrBackupFolder));
        return false;
    }
    for (const QString& other : {_paths.qstrSource, _paths.qstrDestination}) {
        if (PathClaim::Overlaps(_paths.qstrBackup, other)) {
            Fail(Detail("PATHS_OVERLAP", m_qstrBackupFolder,
                        other == _paths.qstrSource ? _qstrSource : _qstrDestination));
            return false;
        }
    }
    return true;
}

bool ReplaceHelper::CheckTrust(const Paths& _paths)
{
    // Another user who may change a folder on the way could choose what is read or where it is
    // written; refused before anything is made. What is missing is made by the run itself.
    QStringList folders{_paths.qstrSource, _paths.qstrDestination};
    if (m_blBackup)
        folders.append(_paths.qstrBackup);
    for (const QString& folder : qAsConst(folders)) {
        const ClientPath existing = ClientPath::OpenExisting(folder);
        if (!existing.IsValid()) {
            Fail(Detail("CREATE_PATH_FAILED", existing.Error()));
            return false;
        }
    }
    return true;
}

bool ReplaceHelper::PrepareBackupFolder(const QString& _qstrFolder, ClientPath& _root)
{
    qCWarning(lcInstall) << "prepare for backup...";
    const FolderCursor::Kind kind = FolderCursor::KindAt(_qstrFolder);
    if (kind != FolderCursor::Kind::None && kind != FolderCursor::Kind::Folder) {
        Fail(Detail("CREATE_PATH_FAILED", m_qstrBackupFolder));
        return false;
    }
    bool create = kind == FolderCursor::Kind::None;
    if (kind == FolderCursor::Kind::Folder &&
        !QDir(_qstrFolder).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        // Only a folder this service created itself is ever emptied, never one of the user's.
        if (!ReplaceJournal::IsOwnedBackupFolder(_qstrFolder)) {
            Fail(Detail("BACKUP_FOLDER_NOT_OWNED", m_qstrBackupFolder));
            return false;
        }
        const bool deleted = CommonFunction::DeleteFolder(_qstrFolder);
        qCWarning(lcInstall).noquote() << "DeleteFolder:" + _qstrFolder + ":" + (deleted ? "true" : "false");
        create = true;
    }
    _root = ClientPath::OpenFolder(_qstrFolder, create);
    if (!_root.IsValid()) {
        Fail(Detail("CREATE_PATH_FAILED", _root.Error()));
        return false;
    }
    if (create)
        ReplaceJournal::MarkOwnedBackupFolder(_qstrFolder);
    return true;
}

ReplaceHelper::RunEnd ReplaceHelper::RunSteps(const QString& _qstrSource, const QString& _qstrDestination,
                                              const QString& _qstrIgnoreList)
{
    qCWarning(lcInstall).noquote() << "replace " + _qstrSource + " to" + _qstrDestination;
    const bool backup = m_blBackup;
    Paths paths;
    if (!CheckPaths(_qstrSource, _qstrDestination, paths) || !CheckTrust(paths))
        return RunEnd::Failed;

    // A source that is missing, or no folder, reads as empty.
    FolderCursor source(ClientPath::OpenFolder(paths.qstrSource, false));
    CommonFunction::FileList list;
    QStringList unread;
    CommonFunction::ScanFolder(source, _qstrIgnoreList, list, unread);
    if (!unread.isEmpty()) {
        // A link in the source that does not lead to a file along a checked way is not followed
        // (it could lead anywhere), nor left out, which would report an incomplete copy as a
        // success.
        qCCritical(lcInstall).noquote()
            << "ReplaceHelper::source holds a link or a folder it cannot read:" + paths.qstrSource +
                   unread.first();
        return Fail(Detail("COPY_FILE_FAILED", paths.qstrSource + unread.first(),
                           paths.qstrDestination + unread.first()));
    }
    // Summed in 64 bits: the scan's own total wraps at 4 GiB.
    qint64 total = 0;
    for (auto it = list.cbegin(); it != list.cend(); ++it)
        total += it.value();
    if (total == 0)
        return Fail(Detail("ANALYZE_FILE_LIST_FAILED_EMPTY_FOLDER", _qstrSource));
    qCWarning(lcInstall).noquote() << "file:" + _qstrSource + " totalsize:" + QString::number(total);
    if (m_blStop)
        return RunEnd::Stopped;
    emit signReplaceProgress(0, total, m_qstrId);

    {
        QStringList wanted{paths.qstrDestination};
        if (backup)
            wanted.append(paths.qstrBackup);
        // Two runs must not write into the same tree, or one's restore would undo the other's work.
        Result<std::unique_ptr<PathClaim>> claim = PathClaim::Claim(wanted);
        if (!claim)
            return Fail(Detail("PATH_BUSY", claim.Error()));
        m_pClaim = std::move(claim.Value());
    }
    m_qstrResolvedDestination = paths.qstrDestination;
    m_qstrResolvedBackup = paths.qstrBackup;

    ClientPath backupRoot;
    if (backup && !PrepareBackupFolder(paths.qstrBackup, backupRoot))
        return RunEnd::Failed;
    const ClientPath destinationRoot = ClientPath::OpenFolder(paths.qstrDestination, true);
    if (!destinationRoot.IsValid())
        return Fail(Detail("CREATE_PATH_FAILED", destinationRoot.Error()));
    if (backup) {
        auto journal = std::make_unique<ReplaceJournal>();
        const Result<> begun =
            journal->Begin(m_qstrId, paths.qstrDestination, paths.qstrBackup, m_qstrTempSuffix);
        if (!begun)
            return Fail(Detail("WRITE_JOURNAL_FAILED", begun.Error()));
        m_pJournal = std::move(journal);
    } else {
        qCWarning(lcInstall) << "no need for backup...";
    }

    FolderCursor destination(destinationRoot);
    FolderCursor saved(backupRoot);
    ReplaceFileStep step({paths.qstrSource, paths.qstrDestination, paths.qstrBackup}, source, destination,
                         saved, m_pJournal.get(), m_qstrTempSuffix, m_blStop, m_listSaved, m_listCreated);
    ProgressThrottle throttle(total, kMaxProgressReports);
    qint64 done = 0;
    for (auto it = list.cbegin(); it != list.cend(); ++it) {
        if (m_blStop)
            return RunEnd::Stopped;
        const ReplaceFileStep::End end = step.Run(it.key(), it.value());
        if (end == ReplaceFileStep::End::Stopped)
            return RunEnd::Stopped;
        if (end == ReplaceFileStep::End::Failed)
            return Fail(step.Error());
        if (end == ReplaceFileStep::End::Skipped)
            continue;
        done += it.value();
        qCDebug(lcInstall).noquote() << "progress:" + QString::number(done) + "/" + QString::number(total);
        if (throttle.Pass(done))
            emit signReplaceProgress(done, total, m_qstrId);
    }
    return RunEnd::Completed;
}

Result<> ReplaceHelper::CopyToTemp(const QString& _qstrFrom, const QString& _qstrTemp,
                                   const std::atomic<bool>* _pStop)
{
    QFile in(_qstrFrom);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return Result<>::Failure(in.errorString());
    // Created anew, never opened through whatever sits under the name: a leftover of an
    // interrupted run is removed first, and a link there is never followed.
    QFile out(_qstrTemp);
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered;
    if (!out.open(mode) && (!QFile::remove(_qstrTemp) || !out.open(mode)))
        return Result<>::Failure(out.errorString());
    const Result<> copied = FolderCursor::CopyBytes(in.handle(), out.handle(), _pStop);
    if (!copied)
        return copied;
    if (!CopyMode(in.handle(), out.handle()))
        return Result<>::Failure(QStringLiteral("cannot set the permissions"));
    out.close();
    if (out.error() != QFileDevice::NoError)
        return Result<>::Failure(out.errorString());
    return {};
}

Result<> ReplaceHelper::SaveCopy(const QString& _qstrFrom, const QString& _qstrTo,
                                 const QString& _qstrTempSuffix)
{
    const QString temp = _qstrTo + _qstrTempSuffix;
    const QFileInfo fromInfo(_qstrFrom);
    if (fromInfo.isSymLink()) {
        QFile::remove(temp);
        if (!LinkFile(_qstrFrom, temp) && !QFile::link(fromInfo.symLinkTarget(), temp))
            return Result<>::Failure(QStringLiteral("cannot recreate link"));
    } else {
        const Result<> copied = CopyToTemp(_qstrFrom, temp, nullptr);
        if (!copied) {
            QFile::remove(temp);
            return copied;
        }
    }
    if (!RenameOver(temp, _qstrTo)) {
        QFile::remove(temp);
        return Result<>::Failure(QStringLiteral("cannot rename ") + temp);
    }
    return {};
}

ReplaceHelper::RestoreResult ReplaceHelper::RestoreSaved(const QString& _qstrDestination,
                                                         const QString& _qstrBackup,
                                                         const QStringList& _listSaved,
                                                         const QStringList& _listCreated,
                                                         const QString& _qstrTempSuffix)
{
    RestoreResult result;
    for (const QString& relative : _listSaved) {
        const QString saved = _qstrBackup + relative;
        const QString target = _qstrDestination + relative;
        if (!IsPresent(QFileInfo(saved))) {
            qCCritical(lcInstall).noquote() << "ReplaceHelper::RestoreSaved:backup missing:" + saved;
            ++result.nFailed;
            continue;
        }
        QDir().mkpath(QFileInfo(target).absolutePath());
        // A saved file is a second name of the old one: a link back costs no copy of its bytes.
        const QString temp = target + _qstrTempSuffix;
        QFile::remove(temp);
        const bool linked = LinkFile(saved, temp) && RenameOver(temp, target);
        // rename(2) leaves both names when they are already one file (the target was never replaced).
        if (linked && FolderCursor::KindAt(temp) != FolderCursor::Kind::None)
            QFile::remove(temp);
        const Result<> copied = linked ? Result<>() : SaveCopy(saved, target, _qstrTempSuffix);
        if (copied) {
            ++result.nRestored;
        } else {
            qCCritical(lcInstall).noquote()
                << "ReplaceHelper::RestoreSaved:failed:" + saved + " -> " + target + ":" + copied.Error();
            ++result.nFailed;
        }
    }
    // Temporary files of files the run was creating when it was cut short.
    for (const QString& relative : _listCreated) {
        const QString temp = _qstrDestination + relative + _qstrTempSuffix;
        if (IsPresent(QFileInfo(temp)))
            QFile::remove(temp);
    }
    return result;
}

int ReplaceHelper::RollBackInterruptedRuns()
{
    return ReplaceJournal::RollBackInterruptedRuns([](const ReplaceJournal::Record& _record) {
        return RestoreSaved(_record.qstrDestination, _record.qstrBackup, _record.listSaved,
                            _record.listCreated, _record.qstrTempSuffix);
    });
}
