#pragma once

#include "core/PercentFilter.h"
#include "core/TaskCodes.h"
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

    // Makes the reports of a worker that tells (bytes done, bytes in all, id), (id) when done and
    // (error text, id) when it failed this task's progress and its one result: "finish" (100) or
    // the error (101). Direct for workers that report from their own threads.
    template <class Worker, class... Progress, class... Done, class... Failed>
    void ForwardReports(Worker& _worker, void (Worker::*_progress)(Progress...),
                        void (Worker::*_done)(Done...), void (Worker::*_failed)(Failed...),
                        Qt::ConnectionType _type = Qt::AutoConnection)
    {
        connect(
            &_worker, _progress, this,
            [this](qint64 _nDone, qint64 _nTotal) { Report(PercentFilter::Percent(_nDone, _nTotal)); },
            _type);
        connect(
            &_worker, _done, this,
            [this]() {
                Finish(TaskResult{TaskCodes::kFinish, TaskCodes::Text(TaskCodes::kFinish), {}, {}});
            },
            _type);
        connect(
            &_worker, _failed, this,
            [this](const QString& _qstrError) {
                Finish(TaskResult{TaskCodes::kFailed, _qstrError, {}, {}});
            },
            _type);
    }

private:
    std::atomic<bool> m_blFinished{false};
    std::atomic<bool> m_blStopRequested{false};
};
