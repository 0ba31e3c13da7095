// Folder identity from GetFileInformationByHandle (volume serial, file index, creation time);
// deletion below the folder's own handle: each entry opened with NtCreateFile relative to it and
// FILE_OPEN_REPARSE_POINT, so a symbolic link or junction is removed itself and never entered,
// and marked for deletion through its handle (FileDispositionInformation).
#include "core/FolderTree.h"
#include "core/LogCategories.h"

#include "core/WinFile.h"

#include <QDebug>
#include <QFileInfo>
#include <QUuid>

namespace {

// Each level holds one handle; deeper trees are left for a later run rather than exhaust them.
constexpr int kMaxDepth = 256;

constexpr ACCESS_MASK kRemovable = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

QString IdentityOf(HANDLE _handle)
{
    // The index alone is not enough: a folder removed and made again may get the same one.
    const WinFile::Info info = WinFile::InfoOf(_handle);
    if (!info.ok || !info.IsFolder() || info.created == 0)
        return QString();
    return QStringLiteral("%1:%2:%3").arg(info.volume).arg(info.index).arg(info.created);
}

bool EmptyAt(HANDLE _hFolder, int _nDepth)
{
    std::vector<WinFile::Entry> entries;
    if (!WinFile::ListFolder(_hFolder, entries))
        return false;
    bool ok = true;
    for (const WinFile::Entry& entry : entries) {
        WinHandle sub(
            WinFile::OpenBelow(_hFolder, entry.name, kRemovable | WinFile::kFolderAccess, FILE_OPEN, 0));
        if (!sub.valid()) {
            // Gone since the folder was read: nothing to remove. A file closed to us by its access
            // list is opened again with only what a deletion needs.
            sub.reset(WinFile::OpenBelow(_hFolder, entry.name, kRemovable, FILE_OPEN, 0));
            if (!sub.valid()) {
                ok = WinFile::IsMissing(::GetLastError()) && ok;
                continue;
            }
        }
        // What the handle is now, not what the listing said: a link goes, its target stays.
        const WinFile::Info info = WinFile::InfoOf(sub.get());
        if (info.IsFolder() && (_nDepth >= kMaxDepth || !EmptyAt(sub.get(), _nDepth + 1))) {
            ok = false;
            continue;
        }
        ok = WinFile::DeleteHandle(sub.get()) && ok;
    }
    return ok;
}

// The folder's parent opened as it is named, and the folder itself opened below it without
// following a reparse point; both invalid unless the folder is still the recorded one.
struct Opened
{
    WinHandle parent;
    WinHandle folder;
    std::wstring name;
};

bool OpenRecorded(const QString& _qstrPath, const QString& _qstrIdentity, Opened& _opened)
{
    const QFileInfo info(_qstrPath);
    const QString name = info.fileName();
    _opened.name = name.toStdWString();
    if (_qstrIdentity.isEmpty() || name.isEmpty() || name == QLatin1String(".") ||
        name == QLatin1String(".."))
        return false;
    _opened.parent.reset(WinFile::OpenPath(info.absolutePath(), WinFile::kFolderAccess, true));
    if (!_opened.parent.valid())
        return false;
    _opened.folder.reset(WinFile::OpenBelow(_opened.parent.get(), _opened.name,
                                            WinFile::kFolderAccess | kRemovable, FILE_OPEN,
                                            FILE_DIRECTORY_FILE));
    if (!_opened.folder.valid() || IdentityOf(_opened.folder.get()) != _qstrIdentity) {
        qCWarning(lcCore).noquote() << "FolderTree:not the folder recorded, left alone:" + _qstrPath;
        return false;
    }
    return true;
}

} // namespace

namespace FolderTree {

QString Identity(const QString& _qstrPath)
{
    const WinHandle folder(WinFile::OpenPath(_qstrPath, FILE_READ_ATTRIBUTES));
    return IdentityOf(folder.get());
}

bool IsOurs(const QString& _qstrPath)
{
    const WinHandle entry(WinFile::OpenPath(_qstrPath, READ_CONTROL | FILE_READ_ATTRIBUTES));
    HandleTrust::Facts facts;
    return entry.valid() && WinFile::FactsOf(entry.get(), facts) && facts.owner == HandleTrust::Who::User;
}

bool Remove(const QString& _qstrPath, const QString& _qstrIdentity)
{
    Opened opened;
    if (!OpenRecorded(_qstrPath, _qstrIdentity, opened))
        return false;
    if (!EmptyAt(opened.folder.get(), 0)) {
        qCWarning(lcCore).noquote() << "FolderTree::Remove:not everything could be removed:" + _qstrPath;
        return false;
    }
    return WinFile::DeleteHandle(opened.folder.get());
}

bool Empty(const QString& _qstrPath, const QString& _qstrIdentity)
{
    Opened opened;
    return OpenRecorded(_qstrPath, _qstrIdentity, opened) && EmptyAt(opened.folder.get(), 0);
}

bool IsEmpty(const QString& _qstrPath, const QString& _qstrIdentity)
{
    Opened opened;
    std::vector<WinFile::Entry> entries;
    return OpenRecorded(_qstrPath, _qstrIdentity, opened) &&
           WinFile::ListFolder(opened.folder.get(), entries) && entries.empty();
}

QString MoveAside(const QString& _qstrPath, const QString& _qstrIdentity)
{
    Opened opened;
    if (!OpenRecorded(_qstrPath, _qstrIdentity, opened))
        return QString();
    const QString aside = QFileInfo(_qstrPath).fileName() + QStringLiteral(".qorv-old-") +
                          QUuid::createUuid().toString(QUuid::Id128);
    if (!WinFile::NameHandle(opened.folder.get(), opened.parent.get(), aside.toStdWString(), false))
        return QString();
    return QFileInfo(_qstrPath).absolutePath() + QLatin1Char('/') + aside;
}

} // namespace FolderTree
