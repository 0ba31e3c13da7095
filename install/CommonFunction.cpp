#include "install/CommonFunction.h"
#include "core/LogCategories.h"

#include "core/PrivateFolder.h"
#include "core/WorkerPool.h"
#include "install/FolderCursor.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>
#include <QUuid>

#include <vector>

namespace {
// Linked folders are not descended into: a link back to an ancestor would recurse forever.
constexpr QDir::Filters kVisibleSubfolderFilter = QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks;
} // namespace

quint32 CommonFunction::ScanFolder(FolderCursor& _cursor, const QString& _qstrIgnoreList, FileList& _mapList,
                                   QStringList& _listUnread)
{
    const QStringList ignore = _qstrIgnoreList.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    const auto ignoredBy = [&ignore](const QString& _qstrRelative) {
        for (const QString& fragment : ignore)
            if (_qstrRelative.contains(fragment, Qt::CaseInsensitive))
                return fragment;
        return QString();
    };
    quint32 total = 0;
    // Folders still to read; the list is a map, so the order they are read in does not show.
    std::vector<QByteArray> todo{QByteArray()};
    std::vector<FolderCursor::Entry> entries;
    while (!todo.empty()) {
        const QByteArray folder = todo.back();
        todo.pop_back();
        if (_cursor.Enter(folder, false) != FolderCursor::Move::Done || !_cursor.List(entries)) {
            // The root that cannot be read is an empty tree; a folder below it is a gap in the tree.
            if (!folder.isEmpty())
                _listUnread.append(QFile::decodeName(folder));
            continue;
        }
        for (const FolderCursor::Entry& entry : entries) {
            const QByteArray path = folder + '/' + entry.baName;
            const QString relative = QFile::decodeName(path);
            const QString fragment = ignoredBy(relative);
            if (!fragment.isEmpty()) {
                // Everything below an ignored folder holds the fragment too.
                qCDebug(lcInstall).noquote() << "entryInfoList:" + relative + " ignored by:" + fragment;
                continue;
            }
            qint64 linkedSize = 0;
            const bool linkedFile =
                entry.kind == FolderCursor::Kind::Link && _cursor.LinkedFileSize(entry.baName, linkedSize);
            if (entry.kind == FolderCursor::Kind::Link && !linkedFile) {
                _listUnread.append(relative);
                continue;
            }
            if (!linkedFile && entry.kind != FolderCursor::Kind::File &&
                entry.kind != FolderCursor::Kind::Folder)
                continue;
            const quint32 size = linkedFile                               ? static_cast<quint32>(linkedSize)
                                 : entry.kind == FolderCursor::Kind::File ? static_cast<quint32>(entry.nSize)
                                                                          : 0;
            qCDebug(lcInstall).noquote() << "file found:" + relative + " size:" + QString::number(size);
            if (!_mapList.contains(relative))
                _mapList.insert(relative, size);
            total += size;
            if (entry.kind == FolderCursor::Kind::Folder)
                todo.push_back(path);
        }
    }
    return total;
}

QString CommonFunction::GetFileMd5(const QString& _qstrPath)
{
    QFile file(_qstrPath);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcInstall).noquote() << QStringLiteral("无法打开文件：") + _qstrPath;
        return QString();
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray chunk(static_cast<int>(kMd5ChunkBytes), Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(chunk.data(), kMd5ChunkBytes);
        if (got < 0) {
            qCWarning(lcInstall).noquote()
                << "CommonFunction::GetFileMd5:read failed:" + _qstrPath + ":" + file.errorString();
            return QString();
        }
        if (got == 0)
            break;
        hash.addData(chunk.constData(), static_cast<int>(got));
    }
    return QString::fromLatin1(hash.result().toHex().toUpper());
}

bool CommonFunction::CopyFolder(const QString& _qstrSource, const QString& _qstrDestination)
{
    QDir destination(_qstrDestination);
    if (!destination.exists())
        destination.mkpath(QStringLiteral("."));
    QDir source(_qstrSource);
    if (!source.exists()) {
        qCWarning(lcInstall).noquote() << "Source folder does not exist:" + _qstrSource;
        return false;
    }
    bool ok = true;
    const QStringList files = source.entryList(QDir::Files);
    for (const QString& name : files) {
        const QString target = destination.filePath(name);
        QFile::remove(target);
        if (!QFile::copy(source.filePath(name), target)) {
            qCWarning(lcInstall).noquote() << "Failed to copy file: " + name;
            ok = false;
        }
    }
    const QStringList subfolders = source.entryList(kVisibleSubfolderFilter);
    for (const QString& name : subfolders) {
        if (!CopyFolder(source.filePath(name), destination.filePath(name)))
            ok = false;
    }
    return ok;
}

bool CommonFunction::DeleteFolder(const QString& _qstrFolder)
{
    // QDir("") is the working folder; "/" is never a folder anyone means to wipe.
    if (_qstrFolder.isEmpty() || QDir(_qstrFolder).isRoot()) {
        qCCritical(lcInstall).noquote() << "CommonFunction::DeleteFolder:refused:[" + _qstrFolder + "]";
        return false;
    }
    QDir dir(_qstrFolder);
    if (!dir.exists()) {
        qCDebug(lcInstall).noquote() << "CommonFunction::DeleteFolder:not exist, no need to delete:" +
                                            _qstrFolder;
        return true;
    }
    qCDebug(lcInstall).noquote() << "CommonFunction::DeleteFolder:deleting:" + _qstrFolder;
    return dir.removeRecursively();
}

void CommonFunction::DeleteFolderAsync(const QString& _qstrFolder)
{
    // Owed to a task already over, so taken whatever the pool's queue holds.
    if (!WorkerPool::Service().SubmitOwed([_qstrFolder] { DeleteFolder(_qstrFolder); })) {
        qCWarning(lcInstall).noquote()
            << "CommonFunction::DeleteFolderAsync:the worker pool has stopped, deleting here:" + _qstrFolder;
        DeleteFolder(_qstrFolder);
    }
}

bool CommonFunction::RemoveFile(const QString& _qstrPath)
{
    // exists() follows links; a dangling link is still a file to remove.
    if (!QFileInfo(_qstrPath).exists() && !QFileInfo(_qstrPath).isSymLink()) {
        qCDebug(lcInstall) << "File does not exist";
        return true;
    }
    if (QFile::remove(_qstrPath)) {
        qCDebug(lcInstall) << "File removed successfully";
        return true;
    }
    qCDebug(lcInstall) << "Failed to remove file";
    return false;
}

void CommonFunction::RemoveFileAsync(const QString& _qstrPath)
{
    if (!WorkerPool::Service().SubmitOwed([_qstrPath] { RemoveFile(_qstrPath); }))
        RemoveFile(_qstrPath);
}

QString CommonFunction::FindFile(const QString& _qstrName, const QString& _qstrFolder)
{
    QDir dir(_qstrFolder);
    if (_qstrFolder.isEmpty() || !dir.exists())
        return QString();
    const QFileInfoList files = dir.entryInfoList(QDir::Files);
    for (const QFileInfo& info : files) {
        if (info.fileName().compare(_qstrName, Qt::CaseInsensitive) == 0)
            return info.absoluteFilePath();
    }
    const QFileInfoList subfolders =
        dir.entryInfoList(kVisibleSubfolderFilter, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& info : subfolders) {
        const QString found = FindFile(_qstrName, info.absoluteFilePath());
        if (!found.isEmpty())
            return found;
    }
    return QString();
}

QString CommonFunction::CreateUuid()
{
    return QUuid::createUuid().toString();
}

QString CommonFunction::GetWorkFolder(const QString& _qstrKey)
{
    return PrivateFolder::CacheRoot() + QLatin1Char('/') + PrivateFolder::ServiceFolderName() +
           QStringLiteral("/work/") + _qstrKey;
}

QString CommonFunction::GetDownloadFolder(const QString& _qstrKey)
{
    return GetWorkFolder(_qstrKey) + QStringLiteral("/download");
}

QString CommonFunction::GetUnzipFolder(const QString& _qstrKey)
{
    return GetWorkFolder(_qstrKey) + QStringLiteral("/unzip");
}

QString CommonFunction::GetBackupFolder(const QString& _qstrKey)
{
    return GetWorkFolder(_qstrKey) + QStringLiteral("/backup");
}

QString CommonFunction::GetDefaultInstallPath(const QString& _qstrAppId)
{
    return GetExeFolder() + QStringLiteral("/../appfolder/") + _qstrAppId + QLatin1Char('/');
}

double CommonFunction::GetScreenScale()
{
    // Without a GUI application there is no screen to ask.
    const QScreen* screen = qobject_cast<QGuiApplication*>(QCoreApplication::instance())
                                ? QGuiApplication::primaryScreen()
                                : nullptr;
    const double scale = screen ? screen->size().height() / 1080.0 : 1.0;
    qCWarning(lcInstall) << "CommonFunction::GetScreenScale:" << scale;
    return scale;
}
