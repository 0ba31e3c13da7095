#pragma once

#include "core/Result.h"

#include <QFile>
#include <QString>
#include <QStringList>

#include <functional>

// The on-disk record of one replace run, kept so that a run cut short by a crash can be rolled
// back at the next start. One file per run in the service's state folder, JSON text one object
// per line: a header (task id, destination, backup folder, temporary-name suffix), then one line
// per destination file, appended and flushed before that file is touched:
//   {"s":"/rel"}  the previous bytes of destination+rel are saved at backup+rel
//   {"n":"/rel"}  destination+rel did not exist before the run
// A line cut short by a crash is ignored: its file was not yet touched.
class ReplaceJournal
{
public:
    // What a journal file holds, as read back.
    struct Record
    {
        QString qstrPath;
        QString qstrId;
        QString qstrDestination;
        QString qstrBackup;
        QString qstrTempSuffix;
        QStringList listSaved;
        QStringList listCreated;
    };

    // What putting back one run's files achieved.
    struct RestoreResult
    {
        int nRestored = 0;
        int nFailed = 0;
    };
    // Puts back the files of one interrupted run (the replacer's own restore, handed in so the
    // journal needs nothing of the replacer).
    using Restorer = std::function<RestoreResult(const Record& _record)>;

    ReplaceJournal() = default;
    ~ReplaceJournal();
    ReplaceJournal(const ReplaceJournal&) = delete;
    ReplaceJournal& operator=(const ReplaceJournal&) = delete;

    // Creates this run's journal and makes its header durable; fails (naming where) when the
    // journal cannot be written, in which case the run must not touch any file.
    Result<> Begin(const QString& _qstrId, const QString& _qstrDestination, const QString& _qstrBackup,
                   const QString& _qstrTempSuffix);
    bool AddSaved(const QString& _qstrRelative) { return Append('s', _qstrRelative); }
    bool AddCreated(const QString& _qstrRelative) { return Append('n', _qstrRelative); }
    // The run completed or its files were restored: nothing is left to roll back.
    void Remove();
    bool IsOpen() const { return m_file.isOpen(); }
    QString Path() const { return m_file.fileName(); }

    // $XDG_STATE_HOME/qorv-utility-service, or ~/.local/state/qorv-utility-service.
    static QString StateFolder();
    static QString JournalFolder();

    // Reads one journal; false when its header is unreadable.
    static bool Read(const QString& _qstrPath, Record& _record);
    // Rolls back every run left in the journal folder through _restore (called once at start-up,
    // before any client can start a replace) and removes their journals. Returns the number of runs.
    static int RollBackInterruptedRuns(const Restorer& _restore);

    // Backup folders this service created itself, each by path and identity: only those may be
    // emptied again, and only while they are still the folder it created.
    static bool IsOwnedBackupFolder(const QString& _qstrCanonicalFolder);
    static void MarkOwnedBackupFolder(const QString& _qstrCanonicalFolder);

private:
    bool Append(char _chKind, const QString& _qstrRelative);

    QFile m_file;
};
