#include "install/ReplaceHelper.h"
#include "core/LogCategories.h"

#include "core/FillPlaceholders.h"
#include "core/ServiceThread.h"
#include "install/CommonFunction.h"
#include "install/PathClaim.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QUuid>

#include <vector>

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

std::vector<char>& CopyBuffer()
{
    thread_local std::vector<char> s_buffer(1024 * 1024);
    return s_buffer;
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

bool ReplaceHelper::PrepareBackupFolder(const QString& _qstrFolder)
{
    qCWarning(lcInstall) << "prepare for backup...";
    const PathKind kind = KindOf(_qstrFolder);
    if (kind != PathKind::None && kind != PathKind::Folder) {
        Fail(Detail("CREATE_PATH_FAILED", m_qstrBackupFolder));
        return false;
    }
    bool create = kind == PathKind::None;
    if (kind == PathKind::Folder &&
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
    if (create) {
        if (!QDir().mkpath(_qstrFolder)) {
            Fail(Detail("CREATE_PATH_FAILED", m_qstrBackupFolder));
            return false;
        }
        ReplaceJournal::MarkOwnedBackupFolder(_qstrFolder);
    }
    return true;
}

ReplaceHelper::RunEnd ReplaceHelper::RunSteps(const QString& _qstrSource, const QString& _qstrDestination,
                                              const QString& _qstrIgnoreList)
{
    qCWarning(lcInstall).noquote() << "replace " + _qstrSource + " to" + _qstrDestination;
    const bool backup = m_blBackup;
    Paths paths;
    if (!CheckPaths(_qstrSource, _qstrDestination, paths))
        return RunEnd::Failed;

    CommonFunction::FileList list;
    CommonFunction::ScanFolder(paths.qstrSource, _qstrIgnoreList, list, paths.qstrSource);
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

    if (backup) {
        if (!PrepareBackupFolder(paths.qstrBackup))
            return RunEnd::Failed;
        auto journal = std::make_unique<ReplaceJournal>();
        QString where;
        if (!journal->Begin(m_qstrId, paths.qstrDestination, paths.qstrBackup, m_qstrTempSuffix, where))
            return Fail(Detail("WRITE_JOURNAL_FAILED", where));
        m_pJournal = std::move(journal);
    } else {
        qCWarning(lcInstall) << "no need for backup...";
    }

    // Folders already shown to lie inside their root; most files share their folder with the last.
    QSet<QString> insideDestination;
    QSet<QString> insideBackup;
    auto checkInside = [](QSet<QString>& _setKnown, const QString& _qstrFolder, const QString& _qstrRoot) {
        if (_setKnown.contains(_qstrFolder))
            return true;
        if (!IsInside(ResolvePath(_qstrFolder), _qstrRoot))
            return false;
        _setKnown.insert(_qstrFolder);
        return true;
    };

    // Folders made or found during this run, so each is asked for once.
    QSet<QString> madeInDestination;
    QSet<QString> madeInBackup;
    auto makeFolder = [](QSet<QString>& _setMade, const QString& _qstrFolder) {
        if (_setMade.contains(_qstrFolder))
            return true;
        if (!QDir().mkpath(_qstrFolder))
            return false;
        _setMade.insert(_qstrFolder);
        return true;
    };

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

        const QString targetFolder = FolderOf(target);
        if (!checkInside(insideDestination, targetFolder, paths.qstrDestination))
            return Fail(Detail("PATH_OUTSIDE_FOLDER", target));
        const PathKind kind = KindOf(target);
        const bool present = kind != PathKind::None;
        if (!present && !makeFolder(madeInDestination, targetFolder))
            return Fail(Detail("CREATE_PATH_FAILED", targetFolder));
        if (size == 0) {
            // Folders and empty files: nothing is saved, copied or counted.
            const QFileInfo sourceInfo(sourceFile);
            if (!sourceInfo.isFile() || sourceInfo.size() == 0)
                continue;
        }
        if (kind == PathKind::Folder)
            return Fail(Detail("COPY_FILE_FAILED", sourceFile, target));

        if (backup) {
            if (present) {
                const QString saved = paths.qstrBackup + relative;
                const QString savedFolder = FolderOf(saved);
                if (!checkInside(insideBackup, savedFolder, paths.qstrBackup))
                    return Fail(Detail("PATH_OUTSIDE_FOLDER", saved));
                if (!makeFolder(madeInBackup, savedFolder))
                    return Fail(Detail("CREATE_PATH_FAILED", savedFolder));
                QString reason;
                // The destination file is only ever replaced, never written in place, so a second
                // name for it keeps its previous bytes as well as a copy would.
                if (!LinkFile(target, saved) && !SaveCopy(target, saved, m_qstrTempSuffix, reason)) {
                    qCWarning(lcInstall).noquote()
                        << "ReplaceHelper::backup failed:" + target + " -> " + saved + ":" + reason;
                    return Fail(Detail("COPY_FILE_FAILED", target, saved));
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

        const QString temp = target + m_qstrTempSuffix;
        QString reason;
        if (!CopyToTemp(sourceFile, temp, &m_blStop, reason)) {
            QFile::remove(temp);
            if (m_blStop)
                return RunEnd::Stopped;
            qCCritical(lcInstall).noquote()
                << "ReplaceHelper::copy failed:" + sourceFile + " -> " + target + ":" + reason;
            return Fail(Detail("COPY_FILE_FAILED", sourceFile, target));
        }
        if (!RenameOver(temp, target)) {
            // The old file resists being replaced: make it writable, delete it, and as a last
            // resort have a separate process delete it.
            QFile targetFile(target);
            if (!targetFile.setPermissions(QFileDevice::WriteOwner | QFileDevice::WriteUser |
                                           QFileDevice::WriteGroup | QFileDevice::WriteOther)) {
                QFile::remove(temp);
                return Fail(Detail("SET_PERMISSION_FAILED", target));
            }
            if (!targetFile.remove()) {
                const QString removeFailed = Detail("REMOVE_FILE_FAILED", target);
                qCWarning(lcInstall).noquote()
                    << removeFailed << targetFile.error() << targetFile.errorString();
                if (!ForceRemoveFile(target)) {
                    QFile::remove(temp);
                    return Fail(removeFailed);
                }
            }
            if (!RenameOver(temp, target)) {
                QFile::remove(temp);
                qCCritical(lcInstall).noquote() << "ReplaceHelper::rename failed:" + temp + " -> " + target;
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
    std::vector<char>& buffer = CopyBuffer();
    for (;;) {
        if (_pStop && *_pStop) {
            _qstrError = QStringLiteral("stopped");
            return false;
        }
        const qint64 got = in.read(buffer.data(), static_cast<qint64>(buffer.size()));
        if (got < 0) {
            _qstrError = in.errorString();
            return false;
        }
        if (got == 0)
            break;
        if (out.write(buffer.data(), got) != got) {
            _qstrError = out.errorString();
            return false;
        }
    }
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
        if (linked && KindOf(temp) != PathKind::None)
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
