#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

class FolderCursor;

// Stateless file, folder and location utilities shared by the install workers and other abilities.
// Everything runs on the caller's thread except the two *Async variants (the service's worker pool).
class CommonFunction
{
public:
    // Relative path (absolute path minus the first rootPrefix.length() characters) -> size.
    using FileList = QMap<QString, quint32>;

    // Adds every file and folder of the cursor's tree (relative paths "/a/b.txt") that contains
    // none of the ";"-separated ignore fragments (case-insensitive) to _mapList; returns the
    // summed sizes, truncated and wrapping at 32 bits. A link counts as the file it leads to when
    // FolderCursor::LinkedFileSize vouches for it; any other link not ignored goes to
    // _listUnread instead (a linked folder is never entered), as does a folder below the root that cannot be
    // read (a root that cannot be read is an empty tree). Other kinds of entry (pipes, sockets, devices) are
    // left out. The cursor ends anywhere in the tree.
    static quint32 ScanFolder(FolderCursor& _cursor, const QString& _qstrIgnoreList, FileList& _mapList,
                              QStringList& _listUnread);

    // Upper-case hex MD5 of the file, or empty text when it cannot be opened or read.
    static QString GetFileMd5(const QString& _qstrPath);

    static bool CopyFolder(const QString& _qstrSource, const QString& _qstrDestination);
    // Refuses an empty path (it would mean the working folder) and the file-system root.
    static bool DeleteFolder(const QString& _qstrFolder);
    static void DeleteFolderAsync(const QString& _qstrFolder);
    static bool RemoveFile(const QString& _qstrPath);
    static void RemoveFileAsync(const QString& _qstrPath);

    // Absolute path of the first file named _qstrName (case-insensitive), the folder's own files
    // before its subfolders, depth first; empty text when there is none.
    static QString FindFile(const QString& _qstrName, const QString& _qstrFolder);

    // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"
    static QString CreateUuid();

    // The private work folder of one key (an app id) under the service's cache folder; only the
    // user may enter it (see PrivateFolder), never a fixed name in the shared temporary folder.
    static QString GetWorkFolder(const QString& _qstrKey);
    static QString GetDownloadFolder(const QString& _qstrKey);
    static QString GetUnzipFolder(const QString& _qstrKey);
    static QString GetBackupFolder(const QString& _qstrKey);
    // Folder of the running program's file.
    static QString GetExeFolder();
    static QString GetDefaultInstallPath(const QString& _qstrAppId);
    // Primary screen height / 1080; 1.0 when there is no screen.
    static double GetScreenScale();

    // Bytes read per step while hashing, so memory stays flat whatever the file size.
    static constexpr qint64 kMd5ChunkBytes = 1024 * 1024;
};
