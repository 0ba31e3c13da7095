#pragma once

#include "core/ThreadStack.h"

#include <functional>
#include <thread>
#include <utility>

// Starts a std::thread as std::thread(fn, args...) would, with the thread's own alternate signal
// stack in place before its body runs. Every thread the service starts is started through here.
template <typename Fn, typename... Args> std::thread StartServiceThread(Fn&& _fn, Args&&... _args)
{
    return std::thread([call = std::bind(std::forward<Fn>(_fn), std::forward<Args>(_args)...)]() mutable {
        const ThreadStack stack;
        call();
    });
}
