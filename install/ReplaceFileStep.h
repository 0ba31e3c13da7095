#pragma once

#include "core/Result.h"
#include "install/FolderCursor.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>

class ReplaceJournal;

// One file of a replace run: saves what the destination holds under the name (a second name, or
// a copy where none can be made) and records it, then copies the source file in under a
// temporary name and renames it over the old one. Runs on the replace's worker; the cursors
// stay where the last file left them, as most files share their folder with the one before.
class ReplaceFileStep
{
public:
    enum class End {
        Copied,  // the file is replaced; its bytes count as done
        Skipped, // a folder or an empty file: nothing saved, copied or counted
        Stopped, // the stop flag was seen; the old file is as it was
        Failed,  // see Error()
    };
    // The run's folders, links resolved; no backup folder without a journal.
    struct Tree
    {
        QString qstrSource;
        QString qstrDestination;
        QString qstrBackup;
    };

    // _pJournal null: nothing is saved. _listSaved and _listCreated receive what the run's
    // restore must undo, file by file, as the journal does.
    ReplaceFileStep(const Tree& _tree, FolderCursor& _source, FolderCursor& _destination,
                    FolderCursor& _saved, ReplaceJournal* _pJournal, const QString& _qstrTempSuffix,
                    const std::atomic<bool>& _blStop, QStringList& _listSaved, QStringList& _listCreated);

    End Run(const QString& _qstrRelative, qint64 _nSize);
    // The detail text of the last Failed.
    const QString& Error() const { return m_qstrError; }

private:
    End Fail(const QString& _qstrDetail);
    // Saves the present destination file _baName of folder _baFolder into the backup folder.
    End Save(const QString& _qstrRelative, const QByteArray& _baFolder, const QByteArray& _baName,
             FolderCursor::Kind _kind, const QString& _qstrTarget);
    // Moves a cursor to the folder of _qstrFile in its tree, making what is missing, a linked
    // folder only where it leads inside the tree.
    Result<> EnterFolder(FolderCursor& _cursor, const QString& _qstrRoot, const QByteArray& _baFolder,
                         const QString& _qstrFile) const;
    // Saves the destination's file by a copy where no second name can be made (another file system).
    Result<> SaveCopyIn(FolderCursor::Kind _kind, const QByteArray& _baName, const QString& _qstrFrom,
                        const QString& _qstrTo) const;
    // Puts the copied temporary file over the old one, deleting an old one that resists.
    End Commit(const QByteArray& _baTemp, const QByteArray& _baName, const QString& _qstrSourceFile,
               const QString& _qstrTarget);

    Tree m_tree;
    FolderCursor& m_source;
    FolderCursor& m_destination;
    FolderCursor& m_saved;
    ReplaceJournal* m_pJournal;
    QString m_qstrTempSuffix;
    QByteArray m_baTempSuffix;
    const std::atomic<bool>& m_blStop;
    QStringList& m_listSaved;
    QStringList& m_listCreated;
    QString m_qstrError;
};
