// An alternate signal stack per thread with sigaltstack(2), in its own mapping with a guard page
// below it (Windows gets the same from SetThreadStackGuarantee).
#include "core/ThreadStack.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {
std::size_t PageBytes()
{
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}
} // namespace

ThreadStack::ThreadStack()
{
    void* mapping =
        mmap(nullptr, kBytes + PageBytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        return;
    // The lowest page stays inaccessible: a handler that overran its stack faults instead of
    // writing over a neighbour.
    mprotect(mapping, PageBytes(), PROT_NONE);
    stack_t stack = {};
    stack.ss_sp = static_cast<char*>(mapping) + PageBytes();
    stack.ss_size = kBytes;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(mapping, kBytes + PageBytes());
        return;
    }
    m_pStack = mapping;
}

ThreadStack::~ThreadStack()
{
    if (!m_pStack)
        return;
    stack_t stack = {};
    stack.ss_flags = SS_DISABLE;
    sigaltstack(&stack, nullptr);
    munmap(m_pStack, kBytes + PageBytes());
}
