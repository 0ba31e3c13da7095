#include "install/DigestStream.h"

#include "core/ServiceThread.h"
#include "install/LibCrypto.h"

DigestStream::DigestStream(Algorithm _algorithm)
    : m_pCrypto(LibCrypto::Get()),
      m_pContext(m_pCrypto ? m_pCrypto->MdCtxNew() : nullptr, m_pCrypto ? m_pCrypto->MdCtxFree : nullptr)
{
    // Both are built into OpenSSL's default provider; a context that cannot start (or no
    // libcrypto) hashes nothing and its digest is empty, which no expected digest matches.
    if (m_pContext &&
        m_pCrypto->DigestInit(m_pContext.get(),
                              _algorithm == Algorithm::Md5 ? m_pCrypto->Md5() : m_pCrypto->Sha512(),
                              nullptr) != 1)
        m_pContext.reset();
    m_thread = StartServiceThread(&DigestStream::Run, this);
}

DigestStream::~DigestStream()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_blStop = true;
    }
    m_cvWork.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void DigestStream::Add(const QByteArray& _baData)
{
    if (_baData.isEmpty())
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_queue.push_back(_baData);
    m_nQueuedBytes += _baData.size();
    lock.unlock();
    m_cvWork.notify_one();
}

bool DigestStream::Full()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blWantSpace = m_nQueuedBytes > kMaxQueuedBytes;
    return m_blWantSpace;
}

void DigestStream::SetSpaceCallback(std::function<void()> _fnSpace)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fnSpace = std::move(_fnSpace);
}

void DigestStream::Finish(std::function<void(const QByteArray&)> _fnDone)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_fnDone = std::move(_fnDone);
        m_blInputDone = true;
    }
    m_cvWork.notify_one();
}

void DigestStream::Run()
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
                QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
                unsigned int size = 0;
                if (!m_pContext ||
                    m_pCrypto->DigestFinal(m_pContext.get(), reinterpret_cast<unsigned char*>(digest.data()),
                                           &size) != 1)
                    size = 0;
                digest.truncate(static_cast<int>(size));
                if (m_fnDone)
                    m_fnDone(digest);
                return;
            }
            chunk = std::move(m_queue.front());
            m_queue.pop_front();
        }
        if (m_pContext && m_pCrypto->DigestUpdate(m_pContext.get(), chunk.constData(),
                                                  static_cast<size_t>(chunk.size())) != 1)
            m_pContext.reset();
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
