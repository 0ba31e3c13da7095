// Folders held as handles (the root a duplicate of the checked ClientPath's), each opened below
// its parent with NtCreateFile and FILE_OPEN_REPARSE_POINT (a symbolic link or junction is opened
// itself and told apart by its reparse tag, never entered); the files through handles opened
// the same way: GetFileInformationByHandleEx for listing, FileLinkInformation, FILE_CREATE,
// FileRenameInformation and FileDispositionInformation, all relative to those handles. Bytes go
// through ReadFile and WriteFile.
#include "install/FolderCursor.h"

#include "core/ClientPath.h"
#include "core/WinFile.h"

#include <QFile>

#include <vector>

// The header's CreateFile is ours, not the Windows macro.
#undef CreateFile

namespace {

constexpr ACCESS_MASK kCreateAccess = FILE_GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC;

HANDLE Duplicate(HANDLE _handle)
{
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (_handle == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), _handle, ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return INVALID_HANDLE_VALUE;
    return copy;
}

FolderCursor::Kind KindOfInfo(const WinFile::Info& _info)
{
    if (!_info.ok)
        return FolderCursor::Kind::None;
    if (_info.IsLink())
        return FolderCursor::Kind::Link;
    if (_info.IsFolder())
        return FolderCursor::Kind::Folder;
    return FolderCursor::Kind::File;
}

FolderCursor::Kind KindOfHandle(HANDLE _handle, qint64* _pSize)
{
    const WinFile::Info info = WinFile::InfoOf(_handle);
    if (_pSize && info.ok)
        *_pSize = info.size;
    return KindOfInfo(info);
}

std::wstring Wide(const QByteArray& _baName)
{
    return WinFile::Wide(_baName);
}

} // namespace

FolderCursor::FolderCursor(const ClientPath& _root) : m_qstrRoot(_root.Path())
{
    WinHandle copy(_root.IsValid() ? Duplicate(WinFile::OfFd(_root.Handle())) : INVALID_HANDLE_VALUE);
    m_nRoot = copy.releaseToFd(_O_RDONLY);
}

Result<int> FolderCursor::OpenForReading(const QByteArray& _baName) const
{
    WinHandle file(WinFile::OpenBelow(WinFile::OfFd(Current()), Wide(_baName), FILE_GENERIC_READ, FILE_OPEN,
                                      FILE_NON_DIRECTORY_FILE));
    if (!file.valid())
        return Result<int>::Failure(WinFile::ErrorText(::GetLastError()));
    const WinFile::Info info = WinFile::InfoOf(file.get());
    if (info.IsLink() && m_blAtFolder) {
        // A link of the tree's own: followed only the way a path a client names is.
        return ClientPath::OpenFileForReading(m_qstrRoot + QFile::decodeName(m_baFolder + '/' + _baName));
    }
    if (info.IsLink())
        return Result<int>::Failure(QStringLiteral("it is a link"));
    if (info.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A file kept by a filter (in the cloud, deduplicated): its bytes are read through it.
        file.reset(WinFile::OpenBelow(WinFile::OfFd(Current()), Wide(_baName), FILE_GENERIC_READ, FILE_OPEN,
                                      FILE_NON_DIRECTORY_FILE, nullptr, true));
        if (!file.valid())
            return Result<int>::Failure(WinFile::ErrorText(::GetLastError()));
    }
    return file.releaseToFd(_O_RDONLY);
}

bool FolderCursor::SizeOfOpenFile(int _nFd, qint64& _nSize)
{
    const WinFile::Info info = WinFile::InfoOf(WinFile::OfFd(_nFd));
    if (!info.ok || !info.IsFile())
        return false;
    _nSize = info.size;
    return true;
}

FolderCursor::Move FolderCursor::OpenLevel(const QByteArray& _baName, bool _blCreate, int& _nFd) const
{
    const HANDLE parent = WinFile::OfFd(Current());
    // Made where missing with what the folder passes on, as mkdir(2) under the umask.
    WinHandle folder(WinFile::OpenBelow(parent, Wide(_baName), WinFile::kFolderAccess,
                                        _blCreate ? FILE_OPEN_IF : FILE_OPEN, FILE_DIRECTORY_FILE));
    if (!folder.valid()) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_DIRECTORY)
            return Move::Failed;
        // A link to a file, or a file.
        return KindOf(_baName) == Kind::Link ? Move::Linked : Move::NotFolder;
    }
    const WinFile::Info info = WinFile::InfoOf(folder.get());
    if (info.IsLink())
        return Move::Linked;
    if (!info.IsFolder())
        return Move::NotFolder;
    _nFd = folder.releaseToFd(_O_RDONLY);
    if (_nFd < 0)
        return Move::Failed;
    return Move::Done;
}

FolderCursor::Kind FolderCursor::KindOf(const QByteArray& _baName, qint64* _pSize) const
{
    const WinHandle entry(
        WinFile::OpenBelow(WinFile::OfFd(Current()), Wide(_baName), FILE_READ_ATTRIBUTES, FILE_OPEN, 0));
    return entry.valid() ? KindOfHandle(entry.get(), _pSize) : Kind::None;
}

FolderCursor::Kind FolderCursor::KindAt(const QString& _qstrPath)
{
    const WinHandle entry(WinFile::OpenPath(_qstrPath, FILE_READ_ATTRIBUTES));
    return entry.valid() ? KindOfHandle(entry.get(), nullptr) : Kind::None;
}

bool FolderCursor::List(std::vector<Entry>& _vecEntries) const
{
    _vecEntries.clear();
    std::vector<WinFile::Entry> entries;
    if (Current() < 0 || !WinFile::ListFolder(WinFile::OfFd(Current()), entries))
        return false;
    for (const WinFile::Entry& entry : entries) {
        const Kind kind = entry.IsLink() ? Kind::Link : entry.IsFolder() ? Kind::Folder : Kind::File;
        _vecEntries.push_back(
            Entry{QFile::encodeName(QString::fromStdWString(entry.name)), kind, entry.size});
    }
    return true;
}

bool FolderCursor::LinkTo(const QByteArray& _baName, const FolderCursor& _to) const
{
    // The entry itself gets a second name: a link is not followed to its target.
    const WinHandle entry(WinFile::OpenBelow(WinFile::OfFd(Current()), Wide(_baName),
                                             FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0));
    return entry.valid() && !WinFile::InfoOf(entry.get()).IsFolder() &&
           WinFile::NameHandle(entry.get(), WinFile::OfFd(_to.Current()), Wide(_baName), false,
                               WinFile::kLinkInformation);
}

bool FolderCursor::CreateFile(const QByteArray& _baName, QFile& _file, const QByteArray& _baModeOf) const
{
    const HANDLE folder = WinFile::OfFd(Current());
    WinHandle created(
        WinFile::OpenBelow(folder, Wide(_baName), kCreateAccess, FILE_CREATE, FILE_NON_DIRECTORY_FILE));
    if (!created.valid())
        return false;
    if (!_baModeOf.isEmpty()) {
        const WinHandle model(WinFile::OpenBelow(folder, Wide(_baModeOf), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                                 FILE_OPEN, FILE_NON_DIRECTORY_FILE));
        if (model.valid() && WinFile::InfoOf(model.get()).IsFile())
            WinFile::CopyOwnDacl(model.get(), created.get());
    }
    const int fd = created.releaseToFd(_O_WRONLY);
    if (fd >= 0 && _file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
        return true;
    if (fd >= 0)
        ::_close(fd);
    Remove(_baName);
    return false;
}

Result<> FolderCursor::CopyIn(const FolderCursor& _from, const QByteArray& _baName, const QByteArray& _baTemp,
                              const std::atomic<bool>* _pStop) const
{
    const Result<int> opened = _from.OpenForReading(_baName);
    if (!opened)
        return Result<>::Failure(opened.Error());
    const int in = opened.Value();
    if (!WinFile::InfoOf(WinFile::OfFd(in)).IsFile()) {
        ::_close(in);
        return Result<>::Failure(QStringLiteral("not a file"));
    }
    // FILE_CREATE never opens what already sits under the name.
    const HANDLE folder = WinFile::OfFd(Current());
    WinHandle out(
        WinFile::OpenBelow(folder, Wide(_baTemp), kCreateAccess, FILE_CREATE, FILE_NON_DIRECTORY_FILE));
    if (!out.valid() && (::GetLastError() == ERROR_FILE_EXISTS || ::GetLastError() == ERROR_ALREADY_EXISTS) &&
        Remove(_baTemp))
        out.reset(
            WinFile::OpenBelow(folder, Wide(_baTemp), kCreateAccess, FILE_CREATE, FILE_NON_DIRECTORY_FILE));
    if (!out.valid()) {
        const QString error = WinFile::ErrorText(::GetLastError());
        ::_close(in);
        return Result<>::Failure(error);
    }
    const int outFd = out.releaseToFd(_O_WRONLY);
    Result<> copied =
        outFd >= 0 ? CopyBytes(in, outFd, _pStop) : Result<>::Failure(QStringLiteral("cannot open the copy"));
    if (copied && !WinFile::CopyOwnDacl(WinFile::OfFd(in), WinFile::OfFd(outFd)))
        copied = Result<>::Failure(QStringLiteral("cannot set the permissions"));
    if (outFd >= 0 && ::_close(outFd) != 0 && copied)
        copied = Result<>::Failure(QStringLiteral("cannot close the copy"));
    ::_close(in);
    return copied;
}

bool FolderCursor::RenameOver(const QByteArray& _baFrom, const QByteArray& _baTo) const
{
    const HANDLE folder = WinFile::OfFd(Current());
    const WinHandle from(
        WinFile::OpenBelow(folder, Wide(_baFrom), DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, 0));
    return from.valid() && WinFile::NameHandle(from.get(), folder, Wide(_baTo), true);
}

bool FolderCursor::Remove(const QByteArray& _baName) const
{
    return WinFile::RemoveBelow(WinFile::OfFd(Current()), Wide(_baName));
}

Result<> FolderCursor::CopyBytes(int _nFrom, int _nTo, const std::atomic<bool>* _pStop)
{
    const HANDLE from = WinFile::OfFd(_nFrom);
    const HANDLE to = WinFile::OfFd(_nTo);
    thread_local std::vector<char> s_buffer(1024 * 1024);
    for (;;) {
        if (_pStop && *_pStop)
            return Result<>::Failure(QStringLiteral("stopped"));
        DWORD got = 0;
        if (!::ReadFile(from, s_buffer.data(), static_cast<DWORD>(s_buffer.size()), &got, nullptr))
            return Result<>::Failure(WinFile::ErrorText(::GetLastError()));
        if (got == 0)
            return {};
        for (DWORD written = 0; written < got;) {
            DWORD put = 0;
            if (!::WriteFile(to, s_buffer.data() + written, got - written, &put, nullptr) || put == 0)
                return Result<>::Failure(WinFile::ErrorText(
                    put == 0 && ::GetLastError() == 0 ? ERROR_DISK_FULL : ::GetLastError()));
            written += put;
        }
    }
}
