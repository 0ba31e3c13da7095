#pragma once

#include <QByteArray>
#include <QCryptographicHash>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// MD5 of a byte stream computed on a thread of its own, so that hashing a download overlaps
// with receiving and writing it. Chunks are queued without copying (QByteArray is shared).
// One stream per download: Add the chunks in order, then Finish once.
class Md5Stream
{
public:
    Md5Stream();
    // Drops whatever is still queued and joins the thread.
    ~Md5Stream();
    Md5Stream(const Md5Stream&) = delete;
    Md5Stream& operator=(const Md5Stream&) = delete;

    // Never waits. A producer faster than the hash asks Full() first and, while it is full,
    // holds its input back until the space callback runs.
    void Add(const QByteArray& _baData);
    // True while more than kMaxQueuedBytes are queued; the next drain below it calls the space
    // callback once.
    bool Full();
    // Called on the hashing thread: keep it short and thread-safe (post to the producer's thread).
    void SetSpaceCallback(std::function<void()> _fnSpace);
    // Ends the input. The hashing thread hashes what is still queued and then calls _fnDone with
    // the digest as upper-case hex; never once the stream is destroyed first. Like the space
    // callback, _fnDone runs on the hashing thread.
    void Finish(std::function<void(const QString&)> _fnDone);

    static constexpr qint64 kMaxQueuedBytes = 8 * 1024 * 1024;

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_cvWork;
    std::function<void()> m_fnSpace;
    std::function<void(const QString&)> m_fnDone;
    bool m_blWantSpace = false;
    std::deque<QByteArray> m_queue;
    qint64 m_nQueuedBytes = 0;
    bool m_blInputDone = false;
    bool m_blStop = false;
    // Touched only by the hashing thread until it has been joined.
    QCryptographicHash m_hash{QCryptographicHash::Md5};
    std::thread m_thread;
};
