// Reads the archive with pread(2) (the cache in front of it is shared with Windows), opened with
// open(2) and checked with fstat(2) to be a regular file.
#include "install/CZipHelperImp.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool CZipHelperImp::ArchiveFile::Open(const char* _szPath, qintptr& _nFile, quint64& _nSize)
{
    const int fd = open(_szPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    _nFile = fd;
    _nSize = static_cast<quint64>(st.st_size);
    return true;
}

qint64 CZipHelperImp::ArchiveFile::ReadAt(qintptr _nFile, char* _pBuffer, size_t _nBytes, quint64 _nOffset)
{
    for (;;) {
        const ssize_t got = pread(static_cast<int>(_nFile), _pBuffer, _nBytes, static_cast<off_t>(_nOffset));
        if (got < 0 && errno == EINTR)
            continue;
        return got;
    }
}

bool CZipHelperImp::ArchiveFile::Close(qintptr _nFile)
{
    return close(static_cast<int>(_nFile)) == 0;
}
