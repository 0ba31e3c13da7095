#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QStringList>
#include <QVector>

class QFile;

// A folder of the service's own that only its user can enter. Each part below the base is opened
// without following a link and checked (this user's, nobody else may write into it); later work
// goes through the folder's descriptor, never through its path again, so another user cannot
// redirect it by swapping a name for a link. The base itself may be shared (as /tmp is).
class PrivateFolder
{
public:
    PrivateFolder() = default;
    ~PrivateFolder();
    PrivateFolder(PrivateFolder&& _other) noexcept;
    PrivateFolder& operator=(PrivateFolder&& _other) noexcept;
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    // Opens _listParts one below the other under _qstrBase, making missing ones with mode 0700.
    // A part of this user's that others may only read or enter is closed to them; one that is a
    // link, belongs to someone else or lets others write into it is refused (see Error()).
    static PrivateFolder Open(const QString& _qstrBase, const QStringList& _listParts);

    bool IsValid() const { return m_nHandle >= 0; }
    QString Path() const { return m_qstrPath; }
    QString Error() const { return m_qstrError; }

    // Opens a file of this folder without following a link; a missing one is made with mode 0600.
    bool OpenFile(QFile& _file, const QString& _qstrName, QIODevice::OpenMode _mode) const;
    // Writes a new file whole: made exclusively under a temporary name with mode 0600, then
    // renamed into place, so a reader never meets half a file.
    Result<> WriteFile(const QString& _qstrName, const QByteArray& _baData) const;
    bool RemoveFile(const QString& _qstrName) const;

    struct FileEntry
    {
        QString qstrName;
        qint64 nBytes = 0;
        qint64 nModifiedMs = 0;
    };
    // The regular files directly inside.
    QVector<FileEntry> Files() const;

    // $XDG_CACHE_HOME, else ~/.cache.
    static QString CacheRoot();
    // $XDG_RUNTIME_DIR when it is this user's folder closed to others; else empty.
    static QString RuntimeRoot();
    // The service's folder name under those roots.
    static QString ServiceFolderName() { return QStringLiteral("qorv-utility-service"); }

private:
    int m_nHandle = -1;
    QString m_qstrPath;
    QString m_qstrError;
};
