#pragma once

#include <QByteArray>
#include <QCryptographicHash>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// MD5 of a byte stream computed on a thread of its own, so that hashing a download overlaps
// with receiving and writing it. Chunks are queued without copying (QByteArray is shared).
// One stream per download: Add the chunks in order, then take Result once.
class Md5Stream
{
public:
    Md5Stream();
    // Drops whatever is still queued and joins the thread.
    ~Md5Stream();
    Md5Stream(const Md5Stream&) = delete;
    Md5Stream& operator=(const Md5Stream&) = delete;

    // Waits while more than kMaxQueuedBytes are queued, so memory stays bounded when the
    // network is faster than the hash.
    void Add(const QByteArray& _baData);
    // Hashes what is still queued and returns the digest as upper-case hex.
    QString Result();

    static constexpr qint64 kMaxQueuedBytes = 8 * 1024 * 1024;

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_cvWork;
    std::condition_variable m_cvSpace;
    std::deque<QByteArray> m_queue;
    qint64 m_nQueuedBytes = 0;
    bool m_blInputDone = false;
    bool m_blStop = false;
    // Touched only by the hashing thread until it has been joined.
    QCryptographicHash m_hash{QCryptographicHash::Md5};
    std::thread m_thread;
};
