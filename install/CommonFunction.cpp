#include "install/CommonFunction.h"
#include "core/LogCategories.h"

#include "core/PrivateFolder.h"
#include "core/WorkerPool.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>
#include <QUuid>

namespace {
// Linked folders are not descended into: a link back to an ancestor would recurse forever.
constexpr QDir::Filters kEntryFilter = QDir::Dirs | QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot;
constexpr QDir::Filters kSubfolderFilter =
    QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks;
constexpr QDir::Filters kVisibleSubfolderFilter = QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks;
} // namespace

static quint32 ScanFolderRecursive(const QString& _qstrFolder, const QStringList& _listIgnore,
                                   CommonFunction::FileList& _mapList, const QString& _qstrRootPrefix)
{
    QDir dir(_qstrFolder);
    if (!dir.exists())
        return 0;
    quint32 total = 0;
    const QFileInfoList entries = dir.entryInfoList(kEntryFilter);
    for (const QFileInfo& info : entries) {
        const QString relative = info.absoluteFilePath().mid(_qstrRootPrefix.length());
        QString ignoredBy;
        for (const QString& fragment : _listIgnore) {
            if (relative.contains(fragment, Qt::CaseInsensitive)) {
                ignoredBy = fragment;
                break;
            }
        }
        if (!ignoredBy.isEmpty()) {
            qCDebug(lcInstall).noquote() << "entryInfoList:" + relative + " ignored by:" + ignoredBy;
            continue;
        }
        const quint32 size = info.isDir() ? 0 : static_cast<quint32>(info.size());
        qCDebug(lcInstall).noquote() << "file found:" + relative + " size:" + QString::number(size);
        if (!_mapList.contains(relative))
            _mapList.insert(relative, size);
        total += size;
    }
    const QFileInfoList subfolders = dir.entryInfoList(kSubfolderFilter);
    for (const QFileInfo& info : subfolders)
        total += ScanFolderRecursive(info.absoluteFilePath(), _listIgnore, _mapList, _qstrRootPrefix);
    return total;
}

quint32 CommonFunction::ScanFolder(const QString& _qstrFolder, const QString& _qstrIgnoreList,
                                   FileList& _mapList, const QString& _qstrRootPrefix)
{
    const QStringList ignore = _qstrIgnoreList.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    return ScanFolderRecursive(_qstrFolder, ignore, _mapList, _qstrRootPrefix);
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
