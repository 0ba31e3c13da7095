#pragma once

#include <QObject>
#include <QPointer>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// What a pool job hands back to the thread that asked for it: a call made there, unless the
// object it belongs to is gone by then.
struct WorkerPoolDelivery
{
    QPointer<QObject> context;
    std::function<void()> call;
};
Q_DECLARE_METATYPE(WorkerPoolDelivery)

// Carries deliveries from the pool's threads to the thread that made the pool, as a queued signal.
class WorkerPoolRelay : public QObject
{
    Q_OBJECT
public:
    WorkerPoolRelay();

signals:
    void SignDelivery(WorkerPoolDelivery delivery);

private slots:
    void SlotDelivery(WorkerPoolDelivery delivery);
};

// A fixed number of threads and a bounded queue for the slow work that requests cause (system
// measurements, screenshot encoding, folder walks), so that no request costs a thread of its own
// and none waits without bound. Threads start when work first needs them and are joined when the
// pool is stopped or destroyed. Results come back as queued signals to the thread that made the
// pool (the main thread for the service's pool); the objects they are meant for must live there.
class WorkerPool
{
public:
    using Job = std::function<void()>;

    WorkerPool(int _nMaxThreads, std::size_t _nMaxQueued);
    // Stop().
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // The service's pool, made on first use (by the main thread).
    static WorkerPool& Service();
    static constexpr int kServiceThreads = 4;
    static constexpr std::size_t kServiceQueue = 1024;

    // Queues a job; false, with nothing queued, when the queue is at its bound, the pool has
    // stopped, or no thread can be started to run it. The caller answers the request then.
    bool Submit(Job _job);
    // Work owed for something already admitted (removing what a finished task left behind): taken
    // beyond the queue's bound, and run even by Stop(). False only when nothing can run it.
    bool SubmitOwed(Job _job);

    // Runs _work on a pool thread, then _done(result) on this pool's owning thread, through a
    // queued signal, unless _pContext has been destroyed by then. False as Submit (as SubmitOwed
    // with _blOwed: a later step of a task already admitted).
    template <typename Work, typename Done>
    bool Run(QObject* _pContext, Work _work, Done _done, bool _blOwed = false)
    {
        using Result = decltype(_work());
        QPointer<QObject> context(_pContext);
        Job job = [this, context, work = std::move(_work), done = std::move(_done)]() mutable {
            auto result = std::make_shared<Result>(work());
            Deliver(context, [done, result]() mutable { done(std::move(*result)); });
        };
        return Enqueue(std::move(job), _blOwed);
    }
    // A call on the owning thread for _pContext, as Run's _done is made; safe from any thread.
    void Deliver(const QPointer<QObject>& _pContext, std::function<void()> _call);

    // Ends the pool: jobs not yet started are dropped, except owed ones, which run first; then
    // every thread is joined. Later submissions are refused.
    void Stop();

    int Threads() const;
    std::size_t Queued() const;
    std::size_t MaxQueued() const { return m_nMaxQueued; }

private:
    struct Entry
    {
        Job job;
        bool owed = false;
    };
    bool Enqueue(Job _job, bool _blOwed);
    void WorkLoop();

    const int m_nMaxThreads;
    const std::size_t m_nMaxQueued;
    mutable std::mutex m_mutex;
    std::condition_variable m_cvWork;
    std::deque<Entry> m_queue;
    std::vector<std::thread> m_vecThreads;
    int m_nIdle = 0;
    bool m_blStopping = false;
    std::unique_ptr<WorkerPoolRelay> m_pRelay;
};
