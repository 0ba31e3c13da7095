#include "snap/GrabQueue.h"
#include "core/LogCategories.h"

#include "core/WorkerPool.h"

#include <QDebug>
#include <QTimer>

GrabQueue::GrabQueue(std::function<qint64()> _funcUnsentBytes, QObject* _pParent)
    : QObject(_pParent), m_funcUnsentBytes(std::move(_funcUnsentBytes))
{
    m_clock.start();
}

GrabQueue::~GrabQueue() = default;

bool GrabQueue::Join(CaptureCallback _callback)
{
    if (!m_pGrab) {
        m_pGrab = std::make_unique<SharedGrab>();
        m_pGrab->serial = ++m_nGrabs;
        m_pGrab->waiting.push_back(std::move(_callback));
        return true;
    }
    if (m_pGrab->waiting.size() > static_cast<size_t>(kMaxWaitingRequests)) {
        qCWarning(lcSnap)
            << "SnapScreenTool:capture requests waiting for the grab in progress, one more refused";
        _callback(CaptureResult::Failed(CaptureResult::kSnapFailed));
        return false;
    }
    m_pGrab->waiting.push_back(std::move(_callback));
    Pump();
    return false;
}

void GrabQueue::SetPicture(const QImage& _image)
{
    if (!AwaitsPicture())
        return;
    m_pGrab->pictured = true;
    const quint64 serial = m_pGrab->serial;
    const bool queued = WorkerPool::Service().Run(
        this, [_image] { return SnapEncoder::Encode(_image); },
        [this, serial](SnapEncoder::Picture _picture) {
            if (!m_pGrab || m_pGrab->serial != serial)
                return;
            m_pGrab->picture = std::move(_picture);
            m_pGrab->encoded = true;
            Pump();
        });
    if (queued)
        return;
    qCCritical(lcSnap) << "SnapScreenTool:the worker pool refused the encoding";
    Fail(CaptureResult::Refused());
}

void GrabQueue::Fail(const CaptureResult& _result)
{
    if (!m_pGrab)
        return;
    const std::deque<CaptureCallback> waiting = std::move(m_pGrab->waiting);
    m_pGrab.reset();
    for (const CaptureCallback& callback : waiting)
        callback(_result);
}

void GrabQueue::AnswerNext(const CaptureResult& _result)
{
    const CaptureCallback callback = std::move(m_pGrab->waiting.front());
    m_pGrab->waiting.pop_front();
    callback(_result);
}

void GrabQueue::Pump()
{
    SharedGrab* grab = m_pGrab.get();
    if (!grab || !grab->encoded || grab->storing || grab->timerArmed)
        return;
    if (grab->waiting.empty()) {
        m_pGrab.reset();
        return;
    }
    if (grab->picture.png.isEmpty()) {
        Fail(CaptureResult::Failed(CaptureResult::kSaveFailed));
        return;
    }
    // Each answer carries the whole picture: the next is made once the last ones have mostly
    // left, or after a bound when a client is slow to read.
    if (m_funcUnsentBytes() > kMaxUnsentBeforeAnswer) {
        if (grab->waitStartMs < 0)
            grab->waitStartMs = m_clock.elapsed();
        if (m_clock.elapsed() - grab->waitStartMs < kMaxAnswerWaitMs) {
            grab->timerArmed = true;
            QTimer::singleShot(10, this, [this, serial = grab->serial] {
                if (!m_pGrab || m_pGrab->serial != serial)
                    return;
                m_pGrab->timerArmed = false;
                Pump();
            });
            return;
        }
    }
    grab->waitStartMs = -1;
    grab->storing = true;
    const bool queued = WorkerPool::Service().Run(
        this, [picture = grab->picture] { return SnapEncoder::Store(picture); },
        [this, serial = grab->serial](SnapEncoder::Result _result) {
            if (!m_pGrab || m_pGrab->serial != serial)
                return;
            m_pGrab->storing = false;
            AnswerNext(_result.ok ? CaptureResult::Taken(_result.pathBase64, _result.imageBase64)
                                  : CaptureResult::Failed(CaptureResult::kSaveFailed));
            Pump();
        });
    if (queued)
        return;
    qCCritical(lcSnap) << "SnapScreenTool:the worker pool refused to store a capture";
    grab->storing = false;
    AnswerNext(CaptureResult::Refused());
    QTimer::singleShot(0, this, &GrabQueue::Pump);
}
