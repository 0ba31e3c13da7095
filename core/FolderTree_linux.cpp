// Folder identity from statx(2) (device, inode, birth time); deletion with openat(2) O_NOFOLLOW,
// fdopendir(3) and unlinkat(2) below the folder's own descriptor, the way `rm -r` walks a tree
// without following links.
#include "core/FolderTree.h"
#include "core/LogCategories.h"

#include "core/PosixFd.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Each level holds one descriptor; deeper trees are left for a later run rather than exhaust them.
constexpr int kMaxDepth = 256;

QString IdentityOf(int _nDirFd, const char* _szName, int _nFlags)
{
    // The inode alone is not enough: a folder removed and made again often gets the same one.
    struct statx info;
    if (::statx(_nDirFd, _szName, _nFlags | AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO | STATX_BTIME,
                &info) != 0 ||
        !S_ISDIR(info.stx_mode) || !(info.stx_mask & STATX_BTIME))
        return QString();
    return QStringLiteral("%1:%2:%3:%4.%5")
        .arg(info.stx_dev_major)
        .arg(info.stx_dev_minor)
        .arg(static_cast<qulonglong>(info.stx_ino))
        .arg(static_cast<qlonglong>(info.stx_btime.tv_sec))
        .arg(info.stx_btime.tv_nsec, 9, 10, QLatin1Char('0'));
}

bool EmptyAt(int _nFd, int _nDepth)
{
    bool ok = true;
    for (const std::string& name : FolderEntryNames(_nFd)) {
        struct stat info;
        if (::fstatat(_nFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (!S_ISDIR(info.st_mode)) {
            ok = (::unlinkat(_nFd, name.c_str(), 0) == 0 || errno == ENOENT) && ok;
            continue;
        }
        const PosixFd sub(::openat(_nFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.get() < 0) {
            // Swapped for a link or a file since the look: the name goes, its target stays.
            ok = ((errno == ELOOP || errno == ENOTDIR) && ::unlinkat(_nFd, name.c_str(), 0) == 0) && ok;
            continue;
        }
        if (_nDepth >= kMaxDepth || !EmptyAt(sub.get(), _nDepth + 1)) {
            ok = false;
            continue;
        }
        ok = ::unlinkat(_nFd, name.c_str(), AT_REMOVEDIR) == 0 && ok;
    }
    return ok;
}

// The folder's parent opened as it is named, and the folder itself opened below it without
// following a link; both invalid unless the folder is still the recorded one.
struct Opened
{
    PosixFd parent;
    PosixFd folder;
    std::string name;
};

bool OpenRecorded(const QString& _qstrPath, const QString& _qstrIdentity, Opened& _opened)
{
    const QFileInfo info(_qstrPath);
    _opened.name = QFile::encodeName(info.fileName()).toStdString();
    if (_qstrIdentity.isEmpty() || _opened.name.empty() || _opened.name == "." || _opened.name == "..")
        return false;
    _opened.parent.reset(
        ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (_opened.parent.get() < 0)
        return false;
    _opened.folder.reset(::openat(_opened.parent.get(), _opened.name.c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (_opened.folder.get() < 0 || IdentityOf(_opened.folder.get(), "", AT_EMPTY_PATH) != _qstrIdentity) {
        qCWarning(lcCore).noquote() << "FolderTree:not the folder recorded, left alone:" + _qstrPath;
        return false;
    }
    return true;
}

} // namespace

namespace FolderTree {

QString Identity(const QString& _qstrPath)
{
    return IdentityOf(AT_FDCWD, QFile::encodeName(_qstrPath).constData(), 0);
}

bool IsOurs(const QString& _qstrPath)
{
    struct stat info;
    return ::lstat(QFile::encodeName(_qstrPath).constData(), &info) == 0 && info.st_uid == ::geteuid();
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
    return ::unlinkat(opened.parent.get(), opened.name.c_str(), AT_REMOVEDIR) == 0;
}

bool Empty(const QString& _qstrPath, const QString& _qstrIdentity)
{
    Opened opened;
    return OpenRecorded(_qstrPath, _qstrIdentity, opened) && EmptyAt(opened.folder.get(), 0);
}

bool IsEmpty(const QString& _qstrPath, const QString& _qstrIdentity)
{
    Opened opened;
    return OpenRecorded(_qstrPath, _qstrIdentity, opened) && FolderEntryNames(opened.folder.get()).empty();
}

QString MoveAside(const QString& _qstrPath, const QString& _qstrIdentity)
{
    Opened opened;
    if (!OpenRecorded(_qstrPath, _qstrIdentity, opened))
        return QString();
    const std::string aside =
        opened.name + ".qorv-old-" + QUuid::createUuid().toString(QUuid::Id128).toStdString();
    if (::renameat(opened.parent.get(), opened.name.c_str(), opened.parent.get(), aside.c_str()) != 0)
        return QString();
    return QFileInfo(_qstrPath).absolutePath() + QLatin1Char('/') + QFile::decodeName(aside.c_str());
}

} // namespace FolderTree
