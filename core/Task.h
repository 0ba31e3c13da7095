#pragma once

#include "core/TaskResult.h"

#include <QObject>
#include <QString>

#include <atomic>

// One piece of long work (a download, an extraction, a capture, a network test ...) with one
// life cycle: start(), progress reports, and exactly one finished(). The ability's task table
// owns it from start to finished and destroys it afterwards, on the main thread.
class Task : public QObject
{
    Q_OBJECT
public:
    Task();
    ~Task() override;

    // Begins the work; called once, on the main thread, after the task is in its table.
    virtual void start() = 0;
    // Asks the work to end soon and returns at once: never waits for a thread nor for files to
    // be put back. The end still comes as finished().
    virtual void requestStop() = 0;

    bool IsStopRequested() const { return m_blStopRequested.load(); }

signals:
    // _dPercent from 0 to 100; _qstrStatus names the stage for abilities that have several.
    void progress(double _dPercent, const QString& _qstrStatus);
    void finished(const TaskResult& _result);

protected:
    // Safe from any thread. Reports after the end are dropped.
    void Report(double _dPercent, const QString& _qstrStatus = QString());
    // Safe from any thread; only the first call counts, so a failure and a late success cannot
    // both reach the requester.
    void Finish(TaskResult _result);
    // For requestStop() implementations.
    void MarkStopRequested() { m_blStopRequested = true; }

private:
    std::atomic<bool> m_blFinished{false};
    std::atomic<bool> m_blStopRequested{false};
};
