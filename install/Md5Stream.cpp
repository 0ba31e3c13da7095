#include "install/Md5Stream.h"

#include "core/ServiceThread.h"

#include <QString>

Md5Stream::Md5Stream() : m_thread(StartServiceThread(&Md5Stream::Run, this)) {}

Md5Stream::~Md5Stream()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_blStop = true;
    }
    m_cvWork.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void Md5Stream::Add(const QByteArray& _baData)
{
    if (_baData.isEmpty())
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_queue.push_back(_baData);
    m_nQueuedBytes += _baData.size();
    lock.unlock();
    m_cvWork.notify_one();
}

bool Md5Stream::Full()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blWantSpace = m_nQueuedBytes > kMaxQueuedBytes;
    return m_blWantSpace;
}

void Md5Stream::SetSpaceCallback(std::function<void()> _fnSpace)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fnSpace = std::move(_fnSpace);
}

void Md5Stream::Finish(std::function<void(const QString&)> _fnDone)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_fnDone = std::move(_fnDone);
        m_blInputDone = true;
    }
    m_cvWork.notify_one();
}

void Md5Stream::Run()
{
    for (;;) {
        QByteArray chunk;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cvWork.wait(lock, [this] { return !m_queue.empty() || m_blInputDone || m_blStop; });
            if (m_blStop)
                return;
            if (m_queue.empty()) {
                // Input is done and all of it hashed.
                lock.unlock();
                if (m_fnDone)
                    m_fnDone(QString::fromLatin1(m_hash.result().toHex().toUpper()));
                return;
            }
            chunk = std::move(m_queue.front());
            m_queue.pop_front();
        }
        m_hash.addData(chunk);
        std::function<void()> space;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_nQueuedBytes -= chunk.size();
            if (m_blWantSpace && m_nQueuedBytes <= kMaxQueuedBytes) {
                m_blWantSpace = false;
                space = m_fnSpace;
            }
        }
        if (space)
            space();
    }
}
