#pragma once

#include <cstddef>

// Gives the calling thread an alternate signal stack of its own for as long as the object lives,
// so that a stack overflow on that thread still leaves a crash report. Create it first thing on
// the thread it serves (StartServiceThread does) and never hand it to another thread.
class ThreadStack
{
public:
    ThreadStack();
    ~ThreadStack();
    ThreadStack(const ThreadStack&) = delete;
    ThreadStack& operator=(const ThreadStack&) = delete;

    // Room for the crash handler's report writing, which walks the stack and copies files.
    static constexpr std::size_t kBytes = 64 * 1024;

private:
    void* m_pStack = nullptr;
};
