// Reads the archive with ReadFile at an offset given in an OVERLAPPED on a synchronous handle
// (the cache in front of it is shared with Linux), opened with CreateFileW and checked with
// GetFileInformationByHandle to be a regular file.
#include "install/CZipHelperImp.h"

#include "core/WinFile.h"

bool CZipHelperImp::ArchiveFile::Open(const char* _szPath, qintptr& _nFile, quint64& _nSize)
{
    // Others may read it, rename or remove its name (as on Linux), but not change its bytes while
    // it is read; a writer that still holds it makes the open fail rather than the read go wrong.
    WinHandle file(::CreateFileW(WinFile::NativePath(QFile::decodeName(_szPath)).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_RANDOM_ACCESS, nullptr));
    const WinFile::Info info = WinFile::InfoOf(file.get());
    if (!file.valid() || !info.ok || (info.attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        ::GetFileType(file.get()) != FILE_TYPE_DISK)
        return false;
    _nSize = static_cast<quint64>(info.size);
    _nFile = reinterpret_cast<qintptr>(file.release());
    return true;
}

qint64 CZipHelperImp::ArchiveFile::ReadAt(qintptr _nFile, char* _pBuffer, size_t _nBytes, quint64 _nOffset)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(_nOffset);
    at.OffsetHigh = static_cast<DWORD>(_nOffset >> 32);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(qMin<size_t>(_nBytes, 1u << 30));
    if (!::ReadFile(reinterpret_cast<HANDLE>(_nFile), _pBuffer, want, &got, &at))
        return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return got;
}

bool CZipHelperImp::ArchiveFile::Close(qintptr _nFile)
{
    return ::CloseHandle(reinterpret_cast<HANDLE>(_nFile)) != 0;
}
