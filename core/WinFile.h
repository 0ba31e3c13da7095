#pragma once

// Handles of files and folders, opened relative to an open folder without following a reparse
// point (NtCreateFile with a root-directory handle and FILE_OPEN_REPARSE_POINT, the counterpart
// of openat(2) with O_NOFOLLOW), their identity, owner and access list, and the renames, links
// and deletions done relative to a folder handle. The descriptors the neutral headers pass are C
// runtime descriptors wrapping these handles. Only the Windows platform files include it.

#include "core/HandleTrust.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <string>
#include <vector>

#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <winternl.h>

class WinHandle
{
public:
    explicit WinHandle(HANDLE _handle = INVALID_HANDLE_VALUE) : m_handle(_handle) {}
    ~WinHandle() { reset(); }
    WinHandle(const WinHandle&) = delete;
    WinHandle& operator=(const WinHandle&) = delete;
    WinHandle(WinHandle&& _other) noexcept : m_handle(_other.release()) {}
    WinHandle& operator=(WinHandle&& _other) noexcept
    {
        reset(_other.release());
        return *this;
    }

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
    void reset(HANDLE _handle = INVALID_HANDLE_VALUE)
    {
        if (valid())
            ::CloseHandle(m_handle);
        m_handle = _handle;
    }
    HANDLE release()
    {
        const HANDLE handle = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        return handle;
    }
    // A C runtime descriptor that owns the handle from now on; -1 (and the handle closed) when
    // none can be made.
    int releaseToFd(int _nFlags)
    {
        if (!valid())
            return -1;
        const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(m_handle), _nFlags | _O_BINARY);
        if (fd < 0)
            reset();
        else
            release();
        return fd;
    }

private:
    HANDLE m_handle;
};

namespace WinFile {

// What a folder handle is opened with: enough to list it, open below it and read its owner.
constexpr ACCESS_MASK kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Information classes of NtSetInformationFile; the Ex ones (Windows 10 1607 and later) are
// refused by older systems, and the callers fall back.
constexpr auto kRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);
constexpr auto kLinkInformation = static_cast<FILE_INFORMATION_CLASS>(11);
constexpr auto kDispositionInformation = static_cast<FILE_INFORMATION_CLASS>(13);
constexpr auto kDispositionInformationEx = static_cast<FILE_INFORMATION_CLASS>(64);
constexpr auto kRenameInformationEx = static_cast<FILE_INFORMATION_CLASS>(65);
constexpr ULONG kDispositionDelete = 0x1;
constexpr ULONG kDispositionPosix = 0x2;
constexpr ULONG kDispositionIgnoreReadOnly = 0x10;
constexpr ULONG kRenameReplace = 0x1;
constexpr ULONG kRenamePosix = 0x2;
constexpr ULONG kRenameIgnoreReadOnly = 0x40;

// The handle behind a C runtime descriptor, without taking it over.
inline HANDLE OfFd(int _nFd)
{
    return _nFd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(::_get_osfhandle(_nFd));
}

// The path as the wide functions take it: native separators, and the "\\?\" prefix that lifts
// the length limit for an absolute drive or UNC path.
inline std::wstring NativePath(const QString& _qstrPath)
{
    QString path = _qstrPath;
    path.replace(QLatin1Char('/'), QLatin1Char('\\'));
    if (path.startsWith(QLatin1String("\\\\?\\")))
        return path.toStdWString();
    if (path.startsWith(QLatin1String("\\\\")))
        return (QStringLiteral("\\\\?\\UNC\\") + path.mid(2)).toStdWString();
    if (path.size() >= 3 && path.at(1) == QLatin1Char(':') && path.at(2) == QLatin1Char('\\'))
        return (QStringLiteral("\\\\?\\") + path).toStdWString();
    return path.toStdWString();
}

inline std::wstring Wide(const QByteArray& _baName)
{
    return QFile::decodeName(_baName).toStdWString();
}

inline QString ErrorText(DWORD _nError)
{
    return qt_error_string(static_cast<int>(_nError));
}

// _wstrName (one name, no separator) below _hParent; a reparse point there is opened itself
// unless _blFollow. Disposition and options as NtCreateFile takes them (FILE_OPEN, FILE_CREATE,
// FILE_DIRECTORY_FILE, ...). On failure INVALID_HANDLE_VALUE, with the Windows error as the
// thread's last error.
inline HANDLE OpenBelow(HANDLE _hParent, const std::wstring& _wstrName, ACCESS_MASK _nAccess,
                        ULONG _nDisposition, ULONG _nOptions, PSECURITY_DESCRIPTOR _pSecurity = nullptr,
                        bool _blFollow = false)
{
    if (_wstrName.empty() || _wstrName.size() > 32767 ||
        _wstrName.find_first_of(L"\\/") != std::wstring::npos) {
        ::SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(_wstrName.c_str());
    name.Length = static_cast<USHORT>(_wstrName.size() * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, _hParent, _pSecurity);
    IO_STATUS_BLOCK status;
    HANDLE handle = nullptr;
    const NTSTATUS result = ::NtCreateFile(
        &handle, _nAccess | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, kShareAll,
        _nDisposition, _nOptions | FILE_SYNCHRONOUS_IO_NONALERT | (_blFollow ? 0 : FILE_OPEN_REPARSE_POINT),
        nullptr, 0);
    if (result < 0) {
        ::SetLastError(::RtlNtStatusToDosError(result));
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// A path opened as it is named, a reparse point at its end not followed unless _blFollow.
inline HANDLE OpenPath(const QString& _qstrPath, ACCESS_MASK _nAccess, bool _blFollow = false)
{
    return ::CreateFileW(NativePath(_qstrPath).c_str(), _nAccess, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | (_blFollow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                         nullptr);
}

inline bool IsMissing(DWORD _nError)
{
    return _nError == ERROR_FILE_NOT_FOUND || _nError == ERROR_PATH_NOT_FOUND;
}

struct Info
{
    bool ok = false;
    DWORD attributes = 0;
    DWORD reparseTag = 0;
    quint64 volume = 0;
    quint64 index = 0;
    qint64 size = 0;
    quint64 created = 0;
    quint64 written = 0;

    bool IsLink() const
    {
        return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(reparseTag);
    }
    bool IsFolder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsLink(); }
    bool IsFile() const { return !(attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsLink(); }
    bool SameAs(const Info& _other) const
    {
        return ok && _other.ok && volume == _other.volume && index == _other.index;
    }
};

inline quint64 Ticks(const FILETIME& _time)
{
    return (static_cast<quint64>(_time.dwHighDateTime) << 32) | _time.dwLowDateTime;
}

// Milliseconds since 1970 of a file time (100 ns steps since 1601).
inline qint64 EpochMs(quint64 _nTicks)
{
    return static_cast<qint64>((_nTicks - 116444736000000000ULL) / 10000);
}

inline Info InfoOf(HANDLE _handle)
{
    Info info;
    BY_HANDLE_FILE_INFORMATION basic;
    if (_handle == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(_handle, &basic))
        return info;
    info.attributes = basic.dwFileAttributes;
    info.volume = basic.dwVolumeSerialNumber;
    info.index = (static_cast<quint64>(basic.nFileIndexHigh) << 32) | basic.nFileIndexLow;
    info.size = static_cast<qint64>((static_cast<quint64>(basic.nFileSizeHigh) << 32) | basic.nFileSizeLow);
    info.created = Ticks(basic.ftCreationTime);
    info.written = Ticks(basic.ftLastWriteTime);
    if (info.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        FILE_ATTRIBUTE_TAG_INFO tag;
        if (!::GetFileInformationByHandleEx(_handle, FileAttributeTagInfo, &tag, sizeof tag))
            return info;
        info.reparseTag = tag.ReparseTag;
    }
    info.ok = true;
    return info;
}

// The SID of the running user, and the owner its token gives new objects (the administrators
// group for an elevated administrator), read once.
inline const std::vector<BYTE>& TokenSid(TOKEN_INFORMATION_CLASS _class)
{
    auto read = [](TOKEN_INFORMATION_CLASS _which) {
        std::vector<BYTE> sid;
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
            return sid;
        DWORD size = 0;
        ::GetTokenInformation(token, _which, nullptr, 0, &size);
        std::vector<BYTE> buffer(size);
        if (size && ::GetTokenInformation(token, _which, buffer.data(), size, &size)) {
            // TOKEN_USER and TOKEN_OWNER both start with the SID's pointer.
            const PSID found = _which == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                                   : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
            const DWORD length = ::GetLengthSid(found);
            sid.assign(static_cast<BYTE*>(found), static_cast<BYTE*>(found) + length);
        }
        ::CloseHandle(token);
        return sid;
    };
    static const std::vector<BYTE> s_user = read(TokenUser);
    static const std::vector<BYTE> s_owner = read(TokenOwner);
    return _class == TokenUser ? s_user : s_owner;
}

inline PSID UserSid()
{
    return const_cast<BYTE*>(TokenSid(TokenUser).data());
}

inline bool IsSid(PSID _pSid, WELL_KNOWN_SID_TYPE _type)
{
    return ::IsWellKnownSid(_pSid, _type);
}

inline HandleTrust::Who WhoIs(PSID _pSid)
{
    const std::vector<BYTE>& user = TokenSid(TokenUser);
    const std::vector<BYTE>& owner = TokenSid(TokenOwner);
    if (!_pSid || !::IsValidSid(_pSid))
        return HandleTrust::Who::Other;
    // What this process makes is owned by its token's owner: the user, or the administrators group
    // for an elevated administrator where the system is set up so.
    if ((!user.empty() && ::EqualSid(_pSid, const_cast<BYTE*>(user.data()))) ||
        (!owner.empty() && ::EqualSid(_pSid, const_cast<BYTE*>(owner.data()))))
        return HandleTrust::Who::User;
    if (IsSid(_pSid, WinBuiltinAdministratorsSid))
        return HandleTrust::Who::Administrators;
    if (IsSid(_pSid, WinLocalSystemSid))
        return HandleTrust::Who::System;
    // NT SERVICE\TrustedInstaller, which owns the operating system's own files.
    LPWSTR text = nullptr;
    bool installer = false;
    if (::ConvertSidToStringSidW(_pSid, &text)) {
        installer = std::wstring(text) == L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
        ::LocalFree(text);
    }
    return installer ? HandleTrust::Who::System : HandleTrust::Who::Other;
}

inline QString SidText(PSID _pSid)
{
    LPWSTR text = nullptr;
    if (!_pSid || !::ConvertSidToStringSidW(_pSid, &text))
        return QString();
    const QString result = QString::fromWCharArray(text);
    ::LocalFree(text);
    return result;
}

// Owner and access list of the handle (opened with READ_CONTROL) as the trust rules take them,
// plus what kind of entry it is; false when they cannot be read.
inline bool FactsOf(HANDLE _handle, HandleTrust::Facts& _facts)
{
    const Info info = InfoOf(_handle);
    if (!info.ok)
        return false;
    _facts.isFolder = info.IsFolder();
    _facts.isLink = info.IsLink();
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(_handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                          &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    _facts.owner = WhoIs(owner);
    _facts.ownerName = SidText(owner);
    std::vector<HandleTrust::Ace> aces;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry))
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        HandleTrust::Ace ace;
        ace.inheritOnly = header->AceFlags & INHERIT_ONLY_ACE;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
            ace.mask = allowed->Mask;
            ace.who = WhoIs(reinterpret_cast<PSID>(&allowed->SidStart));
        } else if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
            ace.allow = false;
            ace.mask = static_cast<ACCESS_DENIED_ACE*>(entry)->Mask;
        } else if (header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                   header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
            // Conditional grants are taken as granted: what they depend on is not looked at.
            ace.mask = static_cast<ACCESS_ALLOWED_ACE*>(entry)->Mask;
            ace.who = HandleTrust::Who::Other;
        } else {
            continue;
        }
        aces.push_back(ace);
    }
    _facts.othersRights = HandleTrust::OthersRights(dacl != nullptr, aces);
    ::LocalFree(descriptor);
    return true;
}

// A security descriptor from SDDL text in which "%1" stands for the user's SID; freed with LocalFree.
inline PSECURITY_DESCRIPTOR Descriptor(const QString& _qstrSddl)
{
    const QString text = _qstrSddl.arg(SidText(UserSid()));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(text.toStdWString().c_str(), SDDL_REVISION_1,
                                                                &descriptor, nullptr))
        return nullptr;
    return descriptor;
}

// Only the user may enter, as mode 0700 leaves a folder (files made inside inherit it).
inline QString OwnerOnlySddl()
{
    return QStringLiteral("D:P(A;OICI;FA;;;%1)");
}

// Sets the access list of the descriptor on the handle (opened with WRITE_DAC), not inherited.
inline bool SetProtectedDacl(HANDLE _handle, PSECURITY_DESCRIPTOR _pDescriptor)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    return _pDescriptor && ::GetSecurityDescriptorDacl(_pDescriptor, &present, &dacl, &defaulted) &&
           present &&
           ::SetSecurityInfo(_handle, SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                             nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

// Gives _hTo the entries of _hFrom's access list that were set on it rather than inherited: a
// file that takes another's place keeps who may use it, while one copied out of another folder
// does not carry that folder's list along. What _hTo inherited from its own folder stays. Both
// handles need READ_CONTROL, _hTo WRITE_DAC (or it is opened again for it). Set through the
// handle alone: nothing is looked up by name.
inline bool CopyOwnDacl(HANDLE _hFrom, HANDLE _hTo)
{
    PACL from = nullptr;
    PSECURITY_DESCRIPTOR fromDescriptor = nullptr;
    if (::GetSecurityInfo(_hFrom, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &from, nullptr,
                          &fromDescriptor) != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(fromDescriptor, &control, &revision);
    const bool isProtected = control & SE_DACL_PROTECTED;
    auto entries = [](PACL _pAcl, bool _blInherited) {
        std::vector<const ACE_HEADER*> found;
        for (DWORD i = 0; _pAcl && i < _pAcl->AceCount; ++i) {
            void* entry = nullptr;
            if (::GetAce(_pAcl, i, &entry) &&
                ((static_cast<ACE_HEADER*>(entry)->AceFlags & INHERITED_ACE) != 0) == _blInherited)
                found.push_back(static_cast<const ACE_HEADER*>(entry));
        }
        return found;
    };
    const std::vector<const ACE_HEADER*> own = entries(from, false);
    bool ok = true;
    if (!own.empty() || isProtected) {
        PACL to = nullptr;
        PSECURITY_DESCRIPTOR toDescriptor = nullptr;
        ok = ::GetSecurityInfo(_hTo, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &to,
                               nullptr, &toDescriptor) == ERROR_SUCCESS;
        std::vector<const ACE_HEADER*> all = own;
        if (ok && !isProtected)
            for (const ACE_HEADER* inherited : entries(to, true))
                all.push_back(inherited);
        DWORD size = sizeof(ACL);
        for (const ACE_HEADER* entry : all)
            size += entry->AceSize;
        std::vector<BYTE> list(size);
        auto* acl = reinterpret_cast<PACL>(list.data());
        ok = ok && ::InitializeAcl(acl, size, ACL_REVISION_DS);
        for (const ACE_HEADER* entry : all)
            ok = ok &&
                 ::AddAce(acl, ACL_REVISION_DS, MAXDWORD, const_cast<ACE_HEADER*>(entry), entry->AceSize);
        SECURITY_DESCRIPTOR descriptor;
        ok = ok && ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
             ::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
             ::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
                                            isProtected ? SE_DACL_PROTECTED : SE_DACL_AUTO_INHERITED);
        const SECURITY_INFORMATION what =
            DACL_SECURITY_INFORMATION |
            (isProtected ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
        if (ok && !::SetKernelObjectSecurity(_hTo, what, &descriptor)) {
            const WinHandle writable(::ReOpenFile(_hTo, WRITE_DAC | READ_CONTROL, kShareAll, 0));
            ok = writable.valid() && ::SetKernelObjectSecurity(writable.get(), what, &descriptor);
        }
        ::LocalFree(toDescriptor);
    }
    ::LocalFree(fromDescriptor);
    return ok;
}

inline bool SetInformation(HANDLE _handle, FILE_INFORMATION_CLASS _class, void* _pData, size_t _nBytes)
{
    IO_STATUS_BLOCK status;
    const NTSTATUS result =
        ::NtSetInformationFile(_handle, &status, _pData, static_cast<ULONG>(_nBytes), _class);
    if (result < 0)
        ::SetLastError(::RtlNtStatusToDosError(result));
    return result >= 0;
}

inline bool IsRefusedClass(DWORD _nError)
{
    return _nError == ERROR_INVALID_PARAMETER || _nError == ERROR_NOT_SUPPORTED ||
           _nError == ERROR_INVALID_FUNCTION || _nError == ERROR_CALL_NOT_IMPLEMENTED;
}

// Takes the read-only attribute off the open _handle (opened with FILE_WRITE_ATTRIBUTES); false
// when it had none or keeps it.
inline bool ClearReadOnly(HANDLE _handle)
{
    FILE_BASIC_INFO basic;
    if (!::GetFileInformationByHandleEx(_handle, FileBasicInfo, &basic, sizeof basic) ||
        !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
        return false;
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    // No attribute at all would read as "leave them as they are".
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(_handle, FileBasicInfo, &basic, sizeof basic);
}

// Gives the open _handle the name _wstrName below _hFolder, or a whole NT path ("\??\C:\...")
// when _hFolder is null: renamed (the handle opened with DELETE), or a second name made when
// _class is kLinkInformation. An entry there is replaced when _blReplace, a read-only one or one
// still open elsewhere included where the file system can, never written through.
inline bool NameHandle(HANDLE _handle, HANDLE _hFolder, const std::wstring& _wstrName, bool _blReplace,
                       FILE_INFORMATION_CLASS _class = kRenameInformation)
{
    // FILE_RENAME_INFORMATION and FILE_LINK_INFORMATION: flags (or a BOOLEAN), root, length, name.
    struct Head
    {
        ULONG flags;
        HANDLE root;
        ULONG length;
    };
    std::vector<BYTE> buffer(sizeof(Head) + (_wstrName.size() + 1) * sizeof(wchar_t));
    auto* head = reinterpret_cast<Head*>(buffer.data());
    head->root = _hFolder;
    head->length = static_cast<ULONG>(_wstrName.size() * sizeof(wchar_t));
    memcpy(buffer.data() + offsetof(Head, length) + sizeof(ULONG), _wstrName.data(), head->length);
    if (_blReplace && _class == kRenameInformation) {
        // POSIX semantics: the name moves even while the old file is open.
        head->flags = kRenameReplace | kRenamePosix | kRenameIgnoreReadOnly;
        if (SetInformation(_handle, kRenameInformationEx, buffer.data(), buffer.size()))
            return true;
        if (!IsRefusedClass(::GetLastError()))
            return false;
    }
    head->flags = _blReplace ? 1 : 0;
    if (SetInformation(_handle, _class, buffer.data(), buffer.size()))
        return true;
    // Before Windows 10 1809 a read-only file is not replaced; rename(2) replaces it all the same.
    if (!_blReplace || _class != kRenameInformation || !_hFolder || ::GetLastError() != ERROR_ACCESS_DENIED)
        return false;
    WinHandle target(OpenBelow(_hFolder, _wstrName, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN,
                               FILE_NON_DIRECTORY_FILE));
    if (!target.valid() || !ClearReadOnly(target.get())) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    target.reset();
    return SetInformation(_handle, _class, buffer.data(), buffer.size());
}

// Marks the open _handle (opened with DELETE | FILE_WRITE_ATTRIBUTES) for deletion, a read-only
// one too, as unlink(2) ignores a file's mode.
inline bool DeleteHandle(HANDLE _handle)
{
    ULONG flags = kDispositionDelete | kDispositionPosix | kDispositionIgnoreReadOnly;
    if (SetInformation(_handle, kDispositionInformationEx, &flags, sizeof flags))
        return true;
    BOOLEAN remove = TRUE;
    if (SetInformation(_handle, kDispositionInformation, &remove, sizeof remove))
        return true;
    return ::GetLastError() == ERROR_ACCESS_DENIED && ClearReadOnly(_handle) &&
           SetInformation(_handle, kDispositionInformation, &remove, sizeof remove);
}

// Removes the entry _wstrName below _hFolder when it is no folder (a link to one is removed
// itself, its target untouched), as unlinkat(2) does.
inline bool RemoveBelow(HANDLE _hFolder, const std::wstring& _wstrName)
{
    WinHandle entry(
        OpenBelow(_hFolder, _wstrName, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0));
    if (!entry.valid())
        return false;
    if (InfoOf(entry.get()).IsFolder()) {
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    return DeleteHandle(entry.get());
}

struct Entry
{
    std::wstring name;
    DWORD attributes = 0;
    DWORD reparseTag = 0;
    qint64 size = 0;
    quint64 written = 0;

    bool IsLink() const
    {
        return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(reparseTag);
    }
    bool IsFolder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsLink(); }
};

// The entries of the folder open as _hFolder (FILE_LIST_DIRECTORY), "." and ".." left out; false
// when it cannot be read.
inline bool ListFolder(HANDLE _hFolder, std::vector<Entry>& _vecEntries)
{
    _vecEntries.clear();
    std::vector<BYTE> buffer(64 * 1024);
    for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;; kind = FileIdBothDirectoryInfo) {
        if (!::GetFileInformationByHandleEx(_hFolder, kind, buffer.data(), static_cast<DWORD>(buffer.size())))
            return ::GetLastError() == ERROR_NO_MORE_FILES;
        for (size_t at = 0;;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + at);
            Entry entry;
            entry.name.assign(info->FileName, info->FileNameLength / sizeof(wchar_t));
            entry.attributes = info->FileAttributes;
            // For a reparse point the extended-attribute size field holds its tag.
            entry.reparseTag = (info->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? info->EaSize : 0;
            entry.size = info->EndOfFile.QuadPart;
            entry.written = static_cast<quint64>(info->LastWriteTime.QuadPart);
            if (entry.name != L"." && entry.name != L"..")
                _vecEntries.push_back(std::move(entry));
            if (info->NextEntryOffset == 0)
                break;
            at += info->NextEntryOffset;
        }
    }
}

// The target of the symbolic link or junction open as _handle.
inline HandleTrust::LinkTarget LinkTargetOf(HANDLE _handle)
{
    QByteArray data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, '\0');
    DWORD got = 0;
    if (!::DeviceIoControl(_handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                           static_cast<DWORD>(data.size()), &got, nullptr))
        return HandleTrust::LinkTarget();
    data.truncate(static_cast<int>(got));
    return HandleTrust::ParseReparseData(data);
}

} // namespace WinFile
