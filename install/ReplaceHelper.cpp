#include "install/ReplaceHelper.h"
#include "core/LogCategories.h"

#include "core/ClientPath.h"
#include "core/FillPlaceholders.h"
#include "core/ServiceThread.h"
#include "install/CommonFunction.h"
#include "install/FolderCursor.h"
#include "install/PathClaim.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

namespace {

bool IsInside(const QString& _qstrPath, const QString& _qstrRoot)
{
    return _qstrPath == _qstrRoot || _qstrPath.startsWith(_qstrRoot + QLatin1Char('/'));
}

// Where an absolute path really leads: the deepest part that exists, with its links resolved,
// followed by the rest. Empty for a relative path, the root itself, or control characters.
QString ResolvePath(const QString& _qstrPath)
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

bool IsPresent(const QFileInfo& _info)
{
    return _info.exists() || _info.isSymLink();
}

QString FolderOf(const QString& _qstrPath)
{
    return _qstrPath.left(_qstrPath.lastIndexOf(QLatin1Char('/')));
}

// A detail text of the vocabulary with its placeholders filled in.
template <typename... Args> QString Detail(const char* _szKey, const Args&... _args)
{
    return FillPlaceholders(ReplaceHelper::tr(_szKey), _args...);
}

} // namespace

ReplaceHelper::ReplaceHelper(QObject* _pParent) : QObject(_pParent) {}

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
        QString busy;
        m_pClaim = PathClaim::Take(wanted, busy);
        if (!m_pClaim)
            return Fail(Detail("PATH_BUSY", busy));
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
        QString where;
        if (!journal->Begin(m_qstrId, paths.qstrDestination, paths.qstrBackup, m_qstrTempSuffix, where))
            return Fail(Detail("WRITE_JOURNAL_FAILED", where));
        m_pJournal = std::move(journal);
    } else {
        qCWarning(lcInstall) << "no need for backup...";
    }

    FolderCursor destination(destinationRoot);
    FolderCursor saved(backupRoot);
    const QByteArray tempSuffix = QFile::encodeName(m_qstrTempSuffix);

    // A report after each file, but no more than about a thousand per run: a tree of tiny files
    // would otherwise send its owner (and every client) one message per file.
    const qint64 reportStep = (total + kMaxProgressReports - 1) / kMaxProgressReports;
    qint64 reported = 0;
    qint64 done = 0;
    for (auto it = list.cbegin(); it != list.cend(); ++it) {
        if (m_blStop)
            return RunEnd::Stopped;
        const QString& relative = it.key();
        const qint64 size = it.value();
        const QString sourceFile = paths.qstrSource + relative;
        const QString target = paths.qstrDestination + relative;
        qCDebug(lcInstall).noquote() << "file:" + target + " size:" + QString::number(size);

        const QByteArray encoded = QFile::encodeName(relative);
        const int slash = encoded.lastIndexOf('/');
        const QByteArray folder = encoded.left(slash);
        const QByteArray name = encoded.mid(slash + 1);
        const QString outOfReach = EnterFolder(destination, paths.qstrDestination, folder, target);
        if (!outOfReach.isEmpty())
            return Fail(outOfReach);
        const FolderCursor::Kind kind = destination.KindOf(name);
        const bool present = kind != FolderCursor::Kind::None;
        if (size == 0) {
            // Folders and empty files: nothing is saved, copied or counted. The listed size wraps
            // at 4 GiB, so the file itself tells.
            qint64 actual = 0;
            if (source.Enter(folder, false) != FolderCursor::Move::Done)
                continue;
            const FolderCursor::Kind sourceKind = source.KindOf(name, &actual);
            if (sourceKind == FolderCursor::Kind::Link && !source.LinkedFileSize(name, actual))
                continue;
            if ((sourceKind != FolderCursor::Kind::File && sourceKind != FolderCursor::Kind::Link) ||
                actual == 0)
                continue;
        }
        if (kind == FolderCursor::Kind::Folder)
            return Fail(Detail("COPY_FILE_FAILED", sourceFile, target));

        if (backup) {
            if (present) {
                const QString savedFile = paths.qstrBackup + relative;
                const QString savedOutOfReach = EnterFolder(saved, paths.qstrBackup, folder, savedFile);
                if (!savedOutOfReach.isEmpty())
                    return Fail(savedOutOfReach);
                QString reason;
                // The destination file is only ever replaced, never written in place, so a second
                // name for it keeps its previous bytes as well as a copy would.
                if (!destination.LinkTo(name, saved) &&
                    !SaveCopyIn(destination, kind, name, saved, m_qstrTempSuffix, target, savedFile,
                                reason)) {
                    qCWarning(lcInstall).noquote()
                        << "ReplaceHelper::backup failed:" + target + " -> " + savedFile + ":" + reason;
                    return Fail(Detail("COPY_FILE_FAILED", target, savedFile));
                }
                if (!m_pJournal->AddSaved(relative))
                    return Fail(Detail("WRITE_JOURNAL_FAILED", m_pJournal->Path()));
                m_listSaved.append(relative);
            } else {
                qCWarning(lcInstall).noquote() << "des file not exist, no need backup this file:" + target;
                if (!m_pJournal->AddCreated(relative))
                    return Fail(Detail("WRITE_JOURNAL_FAILED", m_pJournal->Path()));
                m_listCreated.append(relative);
            }
        }

        const QByteArray temp = name + tempSuffix;
        QString reason = QStringLiteral("cannot open the source folder");
        if (source.Enter(folder, false) != FolderCursor::Move::Done ||
            !destination.CopyIn(source, name, temp, &m_blStop, reason)) {
            destination.Remove(temp);
            if (m_blStop)
                return RunEnd::Stopped;
            qCCritical(lcInstall).noquote()
                << "ReplaceHelper::copy failed:" + sourceFile + " -> " + target + ":" + reason;
            return Fail(Detail("COPY_FILE_FAILED", sourceFile, target));
        }
        if (!destination.RenameOver(temp, name)) {
            // The old file resists being replaced: make it writable, delete it, and as a last
            // resort have a separate process delete it.
            QFile targetFile(target);
            if (!targetFile.setPermissions(QFileDevice::WriteOwner | QFileDevice::WriteUser |
                                           QFileDevice::WriteGroup | QFileDevice::WriteOther)) {
                destination.Remove(temp);
                return Fail(Detail("SET_PERMISSION_FAILED", target));
            }
            if (!targetFile.remove()) {
                const QString removeFailed = Detail("REMOVE_FILE_FAILED", target);
                qCWarning(lcInstall).noquote()
                    << removeFailed << targetFile.error() << targetFile.errorString();
                if (!ForceRemoveFile(target)) {
                    destination.Remove(temp);
                    return Fail(removeFailed);
                }
            }
            if (!destination.RenameOver(temp, name)) {
                destination.Remove(temp);
                qCCritical(lcInstall).noquote()
                    << "ReplaceHelper::rename failed:" + target + m_qstrTempSuffix + " -> " + target;
                return Fail(Detail("COPY_FILE_FAILED", sourceFile, target));
            }
        }
        done += size;
        qCDebug(lcInstall).noquote() << "progress:" + QString::number(done) + "/" + QString::number(total);
        if (done - reported >= reportStep || done == total) {
            reported = done;
            emit signReplaceProgress(done, total, m_qstrId);
        }
    }
    return RunEnd::Completed;
}

QString ReplaceHelper::EnterFolder(FolderCursor& _cursor, const QString& _qstrRoot,
                                   const QByteArray& _baFolder, const QString& _qstrFile)
{
    FolderCursor::Move move = _cursor.Enter(_baFolder, true);
    if (move == FolderCursor::Move::Linked) {
        // A linked folder is entered only where it leads inside the same tree, and then by the
        // path it leads to, again without following anything.
        const QString resolved = ResolvePath(_qstrRoot + QFile::decodeName(_baFolder));
        if (!IsInside(resolved, _qstrRoot))
            return Detail("PATH_OUTSIDE_FOLDER", _qstrFile);
        move = _cursor.Enter(QFile::encodeName(resolved.mid(_qstrRoot.length())), true);
    }
    return move == FolderCursor::Move::Done ? QString() : Detail("CREATE_PATH_FAILED", FolderOf(_qstrFile));
}

bool ReplaceHelper::SaveCopyIn(const FolderCursor& _from, FolderCursor::Kind _kind, const QByteArray& _baName,
                               const FolderCursor& _to, const QString& _qstrTempSuffix,
                               const QString& _qstrFrom, const QString& _qstrTo, QString& _qstrError)
{
    // A link is made again from its target text, by path as before.
    if (_kind != FolderCursor::Kind::File)
        return SaveCopy(_qstrFrom, _qstrTo, _qstrTempSuffix, _qstrError);
    const QByteArray temp = _baName + QFile::encodeName(_qstrTempSuffix);
    if (_to.CopyIn(_from, _baName, temp, nullptr, _qstrError) && _to.RenameOver(temp, _baName))
        return true;
    if (_qstrError.isEmpty())
        _qstrError = QStringLiteral("cannot rename ") + _qstrTo + _qstrTempSuffix;
    _to.Remove(temp);
    return false;
}

bool ReplaceHelper::CopyToTemp(const QString& _qstrFrom, const QString& _qstrTemp,
                               const std::atomic<bool>* _pStop, QString& _qstrError)
{
    QFile in(_qstrFrom);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        _qstrError = in.errorString();
        return false;
    }
    // Created anew, never opened through whatever sits under the name: a leftover of an
    // interrupted run is removed first, and a link there is never followed.
    QFile out(_qstrTemp);
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered;
    if (!out.open(mode) && (!QFile::remove(_qstrTemp) || !out.open(mode))) {
        _qstrError = out.errorString();
        return false;
    }
    if (!FolderCursor::CopyBytes(in.handle(), out.handle(), _pStop, _qstrError))
        return false;
    if (!CopyMode(in.handle(), out.handle())) {
        _qstrError = QStringLiteral("cannot set the permissions");
        return false;
    }
    out.close();
    if (out.error() != QFileDevice::NoError) {
        _qstrError = out.errorString();
        return false;
    }
    return true;
}

bool ReplaceHelper::SaveCopy(const QString& _qstrFrom, const QString& _qstrTo, const QString& _qstrTempSuffix,
                             QString& _qstrError)
{
    const QString temp = _qstrTo + _qstrTempSuffix;
    const QFileInfo fromInfo(_qstrFrom);
    if (fromInfo.isSymLink()) {
        QFile::remove(temp);
        if (!LinkFile(_qstrFrom, temp) && !QFile::link(fromInfo.symLinkTarget(), temp)) {
            _qstrError = QStringLiteral("cannot recreate link");
            return false;
        }
    } else if (!CopyToTemp(_qstrFrom, temp, nullptr, _qstrError)) {
        QFile::remove(temp);
        return false;
    }
    if (!RenameOver(temp, _qstrTo)) {
        _qstrError = QStringLiteral("cannot rename ") + temp;
        QFile::remove(temp);
        return false;
    }
    return true;
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
        QString reason;
        // A saved file is a second name of the old one: a link back costs no copy of its bytes.
        const QString temp = target + _qstrTempSuffix;
        QFile::remove(temp);
        const bool linked = LinkFile(saved, temp) && RenameOver(temp, target);
        // rename(2) leaves both names when they are already one file (the target was never replaced).
        if (linked && FolderCursor::KindAt(temp) != FolderCursor::Kind::None)
            QFile::remove(temp);
        if (linked || SaveCopy(saved, target, _qstrTempSuffix, reason)) {
            ++result.nRestored;
        } else {
            qCCritical(lcInstall).noquote()
                << "ReplaceHelper::RestoreSaved:failed:" + saved + " -> " + target + ":" + reason;
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
