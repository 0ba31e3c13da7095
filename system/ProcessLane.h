#pragma once

#include <QObject>

#include <cstddef>
#include <deque>
#include <functional>

// The process ability's actions, carried out one at a time in the order they were asked for:
// each a step on the service's worker pool (a process list, a kill that waits for the ends), then
// on the main thread what follows from its result. A stop is therefore over before a start or a
// query asked after it, and none of them holds the main thread. Main thread only.
class ProcessLane : public QObject
{
    Q_OBJECT
public:
    // What runs on the main thread once a step is done; may be empty.
    using Then = std::function<void()>;
    // Runs on a pool thread.
    using Step = std::function<Then()>;

    explicit ProcessLane(std::size_t _nMaxActions);

    // False, with nothing queued, when the lane already holds its bound of actions. _refused runs
    // instead of the step, on the main thread, when the pool cannot take it.
    bool Queue(Step _step, Then _refused = Then());
    bool IsFull() const { return Actions() >= m_nMaxActions; }
    // Actions running or waiting.
    std::size_t Actions() const { return m_dequeWaiting.size() + (m_blRunning ? 1 : 0); }

private:
    struct Action
    {
        Step step;
        Then refused;
    };
    void RunNext();

    const std::size_t m_nMaxActions;
    std::deque<Action> m_dequeWaiting;
    bool m_blRunning = false;
};
