#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "core/Result.h"
#include "install/FolderCursor.h"
#include "install/ReplaceJournal.h"

class ClientPath;
class PathClaim;

// Copies every file of a source folder over the same relative path in a destination folder on a
// thread of its own, saving each file it overwrites into a backup folder first; the worker undoes
// a stopped or failed run itself, linking the saved files back (copying where it must) before it
// reports the end. Every destination file is written under a
// temporary name beside it and renamed over the old one, so none is ever left half written, and
// a journal in the service's state folder lets the next start undo a run cut short by a crash.
class ReplaceHelper : public QObject
{
    Q_OBJECT
public:
    explicit ReplaceHelper(QObject* _pParent = nullptr);
    ~ReplaceHelper() override;

    // Stops (and undoes) an earlier run first. Every outcome is a signal.
    void startReplace(const QString& _qstrSource, const QString& _qstrDestination,
                      const QString& _qstrIgnoreList, bool _blBackup, const QString& _qstrBackupFolder,
                      const QString& _qstrId);
    // Ends a run in progress (the file being copied is abandoned, its old bytes stay) and puts back
    // the files this run saved. Blocks while joining and restoring.
    void stopReplace();
    // Asks a run in progress to end without waiting: its worker restores what it saved, then
    // reports USER_STOPED; the object may be destroyed without blocking once that report arrived.
    void requestStop();

    bool IsFinished() const { return m_blFinished; }
    // Progress comes after each file, except that a file finishing less than 1/this of the total
    // after the last report waits for the next; the first (0) and the last (total) always come.
    static constexpr qint64 kMaxProgressReports = 1000;
    // True once a stop was asked for; lets a slot connected directly to the progress signal
    // (it runs on the worker) hold the run at a chosen file until the stop arrives.
    bool IsStopRequested() const { return m_blStop; }
    QString LastError() const;

    using RestoreResult = ReplaceJournal::RestoreResult;
    // Puts backup+rel back over destination+rel for each saved rel, each through a temporary file
    // renamed into place, and removes leftovers of the run's temporary files. Used by a stop and
    // by the start-up roll-back.
    static RestoreResult RestoreSaved(const QString& _qstrDestination, const QString& _qstrBackup,
                                      const QStringList& _listSaved, const QStringList& _listCreated,
                                      const QString& _qstrTempSuffix);
    // Rolls back the runs a crash cut short, from their journals; see ReplaceJournal.
    static int RollBackInterruptedRuns();

signals:
    void signReplaceProgress(qint64 bytesReplaced, qint64 bytesTotal, QString strId);
    void signReplaceFinished(QString strId);
    void signErrorOccurred(QString _qstrErrorInfo, QString strId);

private:
    enum class RunEnd { Completed, Failed, Stopped };
    struct Paths
    {
        QString qstrSource;
        QString qstrDestination;
        QString qstrBackup;
    };

    void Run(QString _qstrSource, QString _qstrDestination, QString _qstrIgnoreList);
    RunEnd RunSteps(const QString& _qstrSource, const QString& _qstrDestination,
                    const QString& _qstrIgnoreList);
    bool CheckPaths(const QString& _qstrSource, const QString& _qstrDestination, Paths& _paths);
    // Every folder on the way to the run's folders is closed to other users (see ClientPath).
    bool CheckTrust(const Paths& _paths);
    // Makes the backup folder ready and opens it as _root.
    bool PrepareBackupFolder(const QString& _qstrFolder, ClientPath& _root);
    RunEnd Fail(const QString& _qstrDetail);
    void ReleaseRun();
    // On the worker: puts back what a failed or stopped run saved.
    void RestoreRun();

    // Second attempt at deleting a file that resisted: a separate process, bounded in time.
    static bool ForceRemoveFile(const QString& _qstrPath);
    // A second name for an existing file (no copy); false where the file system cannot.
    static bool LinkFile(const QString& _qstrExisting, const QString& _qstrNewName);
    // Atomically puts a file under a name that may already be taken.
    static bool RenameOver(const QString& _qstrFrom, const QString& _qstrTo);
    // Gives the open file _nTo the permission bits of the open file _nFrom.
    static bool CopyMode(int _nFrom, int _nTo);

    // Where an absolute path really leads: the deepest part that exists, with its links resolved,
    // followed by the rest. Empty for a relative path, the root itself, or control characters.
    static QString ResolvePath(const QString& _qstrPath);
    static Result<> CopyToTemp(const QString& _qstrFrom, const QString& _qstrTemp,
                               const std::atomic<bool>* _pStop);
    // Saves _qstrFrom as _qstrTo (a link as a link) through a temporary name beside it.
    static Result<> SaveCopy(const QString& _qstrFrom, const QString& _qstrTo,
                             const QString& _qstrTempSuffix);

    // The step of one file uses the file-system primitives above.
    friend class ReplaceFileStep;

    // Joined by the destructor at the latest, so no run outlives its object.
    struct Worker
    {
        std::thread thread;
        ~Worker()
        {
            if (thread.joinable())
                thread.join();
        }
    };

    std::atomic<bool> m_blStop{true};
    std::atomic<bool> m_blBackup{false};
    std::atomic<bool> m_blFinished{false};
    // Set while a run is between its start and its end (completion, failure or stop).
    std::atomic<bool> m_blInProgress{false};
    QString m_qstrBackupFolder;
    QString m_qstrDestination;
    QString m_qstrId;
    QString m_qstrTempSuffix;
    // The run's folders with links resolved, as the journal records them.
    QString m_qstrResolvedDestination;
    QString m_qstrResolvedBackup;
    mutable std::mutex m_mutexError;
    QString m_qstrLastError;
    // Written by the worker only; read by the owner after joining it.
    std::unique_ptr<ReplaceJournal> m_pJournal;
    QStringList m_listSaved;
    QStringList m_listCreated;
    std::unique_ptr<PathClaim> m_pClaim;
    Worker m_worker;
};
