#include "core/WorkerPool.h"
#include "core/LogCategories.h"

#include "core/ServiceThread.h"

#include <QCoreApplication>
#include <QDebug>

#include <exception>
#include <system_error>

WorkerPoolRelay::WorkerPoolRelay()
{
    qRegisterMetaType<WorkerPoolDelivery>("WorkerPoolDelivery");
    connect(this, &WorkerPoolRelay::SignDelivery, this, &WorkerPoolRelay::SlotDelivery, Qt::QueuedConnection);
}

void WorkerPoolRelay::SlotDelivery(WorkerPoolDelivery delivery)
{
    // Checked here, on the thread where the context lives and is destroyed.
    if (delivery.context)
        delivery.call();
}

WorkerPool::WorkerPool(int _nMaxThreads, std::size_t _nMaxQueued)
    : m_nMaxThreads(qMax(1, _nMaxThreads)), m_nMaxQueued(_nMaxQueued),
      m_pRelay(std::make_unique<WorkerPoolRelay>())
{
    if (QCoreApplication::instance())
        m_pRelay->moveToThread(QCoreApplication::instance()->thread());
}

WorkerPool::~WorkerPool()
{
    Stop();
}

WorkerPool& WorkerPool::Service()
{
    static WorkerPool s_pool(kServiceThreads, kServiceQueue);
    return s_pool;
}

bool WorkerPool::Submit(Job _job)
{
    return Enqueue(std::move(_job), false);
}

bool WorkerPool::SubmitOwed(Job _job)
{
    return Enqueue(std::move(_job), true);
}

bool WorkerPool::Enqueue(Job _job, bool _blOwed)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_blStopping)
        return false;
    if (!_blOwed && m_queue.size() >= m_nMaxQueued)
        return false;
    m_queue.push_back({std::move(_job), _blOwed});
    if (static_cast<std::size_t>(m_nIdle) < m_queue.size() &&
        static_cast<int>(m_vecThreads.size()) < m_nMaxThreads) {
        try {
            m_vecThreads.push_back(StartServiceThread(&WorkerPool::WorkLoop, this));
        } catch (const std::system_error& error) {
            qCCritical(lcCore) << "WorkerPool:cannot start a thread:" << error.what();
            // The threads there are will get to it; with none, nothing would.
            if (m_vecThreads.empty()) {
                m_queue.pop_back();
                return false;
            }
        }
    }
    m_cvWork.notify_one();
    return true;
}

void WorkerPool::WorkLoop()
{
    for (;;) {
        Entry entry;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            ++m_nIdle;
            m_cvWork.wait(lock, [this] { return m_blStopping || !m_queue.empty(); });
            --m_nIdle;
            if (m_queue.empty())
                return;
            entry = std::move(m_queue.front());
            m_queue.pop_front();
        }
        try {
            entry.job();
        } catch (const std::exception& error) {
            qCCritical(lcCore) << "WorkerPool:a job failed:" << error.what();
        } catch (...) {
            qCCritical(lcCore) << "WorkerPool:a job failed";
        }
    }
}

void WorkerPool::Deliver(const QPointer<QObject>& _pContext, std::function<void()> _call)
{
    emit m_pRelay->SignDelivery({_pContext, std::move(_call)});
}

void WorkerPool::Stop()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_blStopping = true;
        for (auto it = m_queue.begin(); it != m_queue.end();)
            it = it->owed ? it + 1 : m_queue.erase(it);
        threads.swap(m_vecThreads);
    }
    m_cvWork.notify_all();
    for (std::thread& thread : threads)
        thread.join();
}

int WorkerPool::Threads() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_vecThreads.size());
}

std::size_t WorkerPool::Queued() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}
