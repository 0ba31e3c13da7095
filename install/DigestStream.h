#pragma once

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

typedef struct evp_md_ctx_st EVP_MD_CTX;
struct LibCrypto;

// A digest (MD5 or SHA-512, OpenSSL's EVP) of a byte stream computed on a thread of its own, so
// that hashing a download overlaps with receiving and writing it. Chunks are queued without
// copying (QByteArray is shared). One stream per pass over the bytes: Add the chunks in order,
// then Finish once; a download that starts over from byte 0 takes a new stream.
class DigestStream
{
public:
    enum class Algorithm { Md5, Sha512 };

    explicit DigestStream(Algorithm _algorithm = Algorithm::Md5);
    // Drops whatever is still queued and joins the thread.
    ~DigestStream();
    DigestStream(const DigestStream&) = delete;
    DigestStream& operator=(const DigestStream&) = delete;

    // Never waits. A producer faster than the hash asks Full() first and, while it is full,
    // holds its input back until the space callback runs.
    void Add(const QByteArray& _baData);
    // True while more than kMaxQueuedBytes are queued; the next drain below it calls the space
    // callback once.
    bool Full();
    // Called on the hashing thread: keep it short and thread-safe (post to the producer's thread).
    void SetSpaceCallback(std::function<void()> _fnSpace);
    // Ends the input. The hashing thread hashes what is still queued and then calls _fnDone with
    // the raw digest (16 bytes for MD5, 64 for SHA-512); never once the stream is destroyed
    // first. Like the space callback, _fnDone runs on the hashing thread.
    void Finish(std::function<void(const QByteArray&)> _fnDone);

    static constexpr qint64 kMaxQueuedBytes = 2 * 1024 * 1024;

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_cvWork;
    std::function<void()> m_fnSpace;
    std::function<void(const QByteArray&)> m_fnDone;
    bool m_blWantSpace = false;
    std::deque<QByteArray> m_queue;
    qint64 m_nQueuedBytes = 0;
    bool m_blInputDone = false;
    bool m_blStop = false;
    const LibCrypto* m_pCrypto;
    // Touched only by the hashing thread until it has been joined.
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> m_pContext;
    std::thread m_thread;
};
