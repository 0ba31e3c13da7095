#pragma once

// A file descriptor closed when it goes out of scope. Only the POSIX platform files include it.

#include <unistd.h>

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
