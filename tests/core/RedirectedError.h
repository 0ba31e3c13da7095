#pragma once

#include <cstdio>

#include <unistd.h>

// The process's standard error pointed at another descriptor (a file of the test) while it lives.
class RedirectedError
{
public:
    explicit RedirectedError(int _nFd) : m_nSaved(dup(STDERR_FILENO))
    {
        std::fflush(stderr);
        dup2(_nFd, STDERR_FILENO);
    }
    ~RedirectedError()
    {
        std::fflush(stderr);
        dup2(m_nSaved, STDERR_FILENO);
        close(m_nSaved);
    }
    RedirectedError(const RedirectedError&) = delete;
    RedirectedError& operator=(const RedirectedError&) = delete;

private:
    int m_nSaved;
};
