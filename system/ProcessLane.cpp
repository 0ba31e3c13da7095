#include "system/ProcessLane.h"
#include "core/LogCategories.h"

#include "core/WorkerPool.h"

#include <QDebug>

#include <utility>

ProcessLane::ProcessLane(std::size_t _nMaxActions) : m_nMaxActions(_nMaxActions) {}

bool ProcessLane::Queue(Step _step, Then _refused)
{
    if (IsFull())
        return false;
    m_dequeWaiting.push_back(Action{std::move(_step), std::move(_refused)});
    RunNext();
    return true;
}

void ProcessLane::RunNext()
{
    while (!m_blRunning && !m_dequeWaiting.empty()) {
        Action action = std::move(m_dequeWaiting.front());
        m_dequeWaiting.pop_front();
        // Delivered only while the lane lives: an ability going away drops what its actions found.
        m_blRunning = WorkerPool::Service().Run(this, std::move(action.step), [this](Then _then) {
            m_blRunning = false;
            if (_then)
                _then();
            RunNext();
        });
        if (m_blRunning)
            continue;
        qCCritical(lcSystem) << "ProcessLane:the worker pool refused a process action";
        if (action.refused)
            action.refused();
    }
}
