#pragma once

// A file descriptor closed when it goes out of scope, and the names in an opened folder. Only the
// POSIX platform files include it.

#include <dirent.h>
#include <string>
#include <unistd.h>
#include <vector>

class PosixFd
{
public:
    explicit PosixFd(int _nFd = -1) : m_nFd(_nFd) {}
    ~PosixFd() { reset(); }
    PosixFd(const PosixFd&) = delete;
    PosixFd& operator=(const PosixFd&) = delete;
    PosixFd(PosixFd&& _other) noexcept : m_nFd(_other.release()) {}
    PosixFd& operator=(PosixFd&& _other) noexcept
    {
        reset(_other.release());
        return *this;
    }

    int get() const { return m_nFd; }
    bool valid() const { return m_nFd >= 0; }
    void reset(int _nFd = -1)
    {
        if (m_nFd >= 0)
            ::close(m_nFd);
        m_nFd = _nFd;
    }
    int release()
    {
        const int fd = m_nFd;
        m_nFd = -1;
        return fd;
    }
    // Closes now, so that a failing close (a full disk on some file systems) is seen.
    bool close() { return ::close(release()) == 0; }

private:
    int m_nFd;
};

// The entries of the folder open as _nFd, "." and ".." left out; read whole first, since entries
// removed while a folder is read may be skipped.
inline std::vector<std::string> FolderEntryNames(int _nFd)
{
    std::vector<std::string> names;
    const int copy = _nFd >= 0 ? ::dup(_nFd) : -1;
    DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0)
            ::close(copy);
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}
