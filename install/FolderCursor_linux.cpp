// Folders held as O_PATH descriptors (the root a duplicate of the checked ClientPath's), each
// opened relative to its parent with O_NOFOLLOW (a link there fails with ENOTDIR, fstatat(2)
// tells a link from a file); the files through fstatat(2), readdir(3) of the folder reopened
// from its descriptor, linkat(2), openat(2) with O_EXCL|O_NOFOLLOW, renameat(2) and unlinkat(2)
// on those descriptors. Bytes go through copy_file_range(2), in the kernel, falling back to
// read(2) and write(2) where the file systems cannot.
#include "install/FolderCursor.h"

#include "core/ClientPath.h"
#include "core/PosixFd.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

// Large enough that a big file costs few calls, small enough that a stop is seen soon.
constexpr size_t kChunkBytes = 8 * 1024 * 1024;

constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

int OpenFolder(int _nParent, const char* _szName)
{
    return ::openat(_nParent, _szName, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

FolderCursor::Kind KindOfMode(mode_t _nMode)
{
    if (S_ISREG(_nMode))
        return FolderCursor::Kind::File;
    if (S_ISDIR(_nMode))
        return FolderCursor::Kind::Folder;
    if (S_ISLNK(_nMode))
        return FolderCursor::Kind::Link;
    return FolderCursor::Kind::Other;
}

Result<> ReadWrite(int _nFrom, int _nTo, const std::atomic<bool>* _pStop)
{
    thread_local std::vector<char> s_buffer(1024 * 1024);
    for (;;) {
        if (_pStop && *_pStop)
            return Result<>::Failure(QStringLiteral("stopped"));
        const ssize_t got = ::read(_nFrom, s_buffer.data(), s_buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Result<>::Failure(qt_error_string(errno));
        if (got == 0)
            return {};
        for (ssize_t written = 0; written < got;) {
            const ssize_t put = ::write(_nTo, s_buffer.data() + written, static_cast<size_t>(got - written));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return Result<>::Failure(qt_error_string(put < 0 ? errno : ENOSPC));
            written += put;
        }
    }
}

FolderCursor::Kind KindOfEntry(int _nFolder, const char* _szName, qint64* _pSize)
{
    struct stat info;
    if (::fstatat(_nFolder, _szName, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return FolderCursor::Kind::None;
    if (_pSize)
        *_pSize = static_cast<qint64>(info.st_size);
    return KindOfMode(info.st_mode);
}

} // namespace

FolderCursor::FolderCursor(const ClientPath& _root)
    : m_nRoot(_root.IsValid() ? ::fcntl(_root.Handle(), F_DUPFD_CLOEXEC, 0) : -1), m_qstrRoot(_root.Path())
{
}

Result<int> FolderCursor::OpenForReading(const QByteArray& _baName) const
{
    const int fd = ::openat(Current(), _baName.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
        return fd;
    if (errno != ELOOP || !m_blAtFolder)
        return Result<int>::Failure(qt_error_string(errno));
    // A link of the tree's own: followed only the way a path a client names is.
    return ClientPath::OpenFileForReading(m_qstrRoot + QFile::decodeName(m_baFolder + '/' + _baName));
}

bool FolderCursor::SizeOfOpenFile(int _nFd, qint64& _nSize)
{
    struct stat info;
    if (::fstat(_nFd, &info) != 0)
        return false;
    _nSize = info.st_size;
    return true;
}

FolderCursor::Move FolderCursor::OpenLevel(const QByteArray& _baName, bool _blCreate, int& _nFd) const
{
    const int parent = Current();
    _nFd = OpenFolder(parent, _baName.constData());
    if (_nFd < 0 && errno == ENOENT && _blCreate) {
        if (::mkdirat(parent, _baName.constData(), 0777) != 0 && errno != EEXIST)
            return Move::Failed;
        _nFd = OpenFolder(parent, _baName.constData());
    }
    if (_nFd < 0) {
        if (errno != ENOTDIR && errno != ELOOP)
            return Move::Failed;
        struct stat info;
        if (::fstatat(parent, _baName.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
            return Move::Linked;
        return Move::NotFolder;
    }
    return Move::Done;
}

FolderCursor::Kind FolderCursor::KindOf(const QByteArray& _baName, qint64* _pSize) const
{
    return KindOfEntry(Current(), _baName.constData(), _pSize);
}

FolderCursor::Kind FolderCursor::KindAt(const QString& _qstrPath)
{
    return KindOfEntry(AT_FDCWD, QFile::encodeName(_qstrPath).constData(), nullptr);
}

bool FolderCursor::List(std::vector<Entry>& _vecEntries) const
{
    _vecEntries.clear();
    // An O_PATH descriptor cannot be read; the folder it holds is opened again through it.
    const PosixFd folder(::openat(Current(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid())
        return false;
    for (const std::string& name : FolderEntryNames(folder.get())) {
        struct stat info;
        // Gone since the folder was read: nothing to list.
        if (::fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        _vecEntries.push_back(Entry{QByteArray(name.data(), static_cast<int>(name.size())),
                                    KindOfMode(info.st_mode), static_cast<qint64>(info.st_size)});
    }
    return true;
}

bool FolderCursor::LinkTo(const QByteArray& _baName, const FolderCursor& _to) const
{
    // Flags 0: a link gets a second name itself, its target is not touched.
    return ::linkat(Current(), _baName.constData(), _to.Current(), _baName.constData(), 0) == 0;
}

bool FolderCursor::CreateFile(const QByteArray& _baName, QFile& _file, const QByteArray& _baModeOf) const
{
    const int fd = ::openat(Current(), _baName.constData(), kCreate, 0666);
    if (fd < 0)
        return false;
    struct stat model;
    if (!_baModeOf.isEmpty() &&
        ::fstatat(Current(), _baModeOf.constData(), &model, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(model.st_mode))
        ::fchmod(fd, model.st_mode & 07777);
    if (_file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    ::unlinkat(Current(), _baName.constData(), 0);
    return false;
}

Result<> FolderCursor::CopyIn(const FolderCursor& _from, const QByteArray& _baName, const QByteArray& _baTemp,
                              const std::atomic<bool>* _pStop) const
{
    const Result<int> opened = _from.OpenForReading(_baName);
    if (!opened)
        return Result<>::Failure(opened.Error());
    const PosixFd in(opened.Value());
    struct stat info;
    if (::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return Result<>::Failure(QStringLiteral("not a file"));
    // Private until its bits are set; O_EXCL never opens what already sits under the name.
    int out = ::openat(Current(), _baTemp.constData(), kCreate, 0600);
    if (out < 0 && errno == EEXIST && Remove(_baTemp))
        out = ::openat(Current(), _baTemp.constData(), kCreate, 0600);
    if (out < 0)
        return Result<>::Failure(qt_error_string(errno));
    Result<> copied = CopyBytes(in.get(), out, _pStop);
    if (copied && ::fchmod(out, info.st_mode & 07777) != 0)
        copied = Result<>::Failure(QStringLiteral("cannot set the permissions"));
    if (::close(out) != 0 && copied)
        copied = Result<>::Failure(qt_error_string(errno));
    return copied;
}

bool FolderCursor::RenameOver(const QByteArray& _baFrom, const QByteArray& _baTo) const
{
    return ::renameat(Current(), _baFrom.constData(), Current(), _baTo.constData()) == 0;
}

bool FolderCursor::Remove(const QByteArray& _baName) const
{
    return ::unlinkat(Current(), _baName.constData(), 0) == 0;
}

Result<> FolderCursor::CopyBytes(int _nFrom, int _nTo, const std::atomic<bool>* _pStop)
{
    for (bool first = true;; first = false) {
        if (_pStop && *_pStop)
            return Result<>::Failure(QStringLiteral("stopped"));
        const ssize_t copied = ::copy_file_range(_nFrom, nullptr, _nTo, nullptr, kChunkBytes, 0);
        if (copied > 0)
            continue;
        if (copied == 0 && !first)
            return {};
        if (copied < 0 && errno == EINTR)
            continue;
        // Nothing copied yet: the file systems cannot do it in the kernel (or a file of a
        // pseudo file system reports nothing), so the bytes go through this process.
        if (copied < 0 && !first)
            return Result<>::Failure(qt_error_string(errno));
        return ReadWrite(_nFrom, _nTo, _pStop);
    }
}
