#pragma once

#include "snap/CaptureResult.h"
#include "snap/SnapEncoder.h"

#include <QElapsedTimer>
#include <QImage>
#include <QObject>

#include <deque>
#include <functional>
#include <memory>

// Full-screen captures, one grab at a time: requests that arrive while a grab is in progress
// (until its last answer is out) share its picture, encoded once, each with a file of its own; at
// most kMaxWaitingRequests wait beside the one that grabbed, and a further one fails at once. The
// encoding and the files are work for the service's pool; the answers of a shared grab go out one
// after another, each once the transports have written most of what is queued. Main thread only.
class GrabQueue : public QObject
{
    Q_OBJECT
public:
    // _funcUnsentBytes: what the transports hold for clients and have not written yet.
    explicit GrabQueue(std::function<qint64()> _funcUnsentBytes, QObject* _pParent = nullptr);
    // Work still on the pool answers nobody: its delivery finds this object gone.
    ~GrabQueue() override;

    static constexpr int kMaxWaitingRequests = 8;
    // A shared grab's next answer waits while the transports hold more than this unsent, up to
    // kMaxAnswerWaitMs, so that its answers never all sit in memory at once.
    static constexpr qint64 kMaxUnsentBeforeAnswer = 64LL * 1024 * 1024;
    static constexpr int kMaxAnswerWaitMs = 2000;

    // Adds a request to the grab in progress, or fails it at once when too many wait; true when
    // there was none and this request starts one: the caller then makes its picture and hands it
    // over with SetPicture() or Fail().
    bool Join(CaptureCallback _callback);
    // The grab in progress waits for its picture.
    bool AwaitsPicture() const { return m_pGrab && !m_pGrab->pictured; }
    void SetPicture(const QImage& _image);
    // Ends the grab in progress with this for every request it has.
    void Fail(const CaptureResult& _result);

private:
    struct SharedGrab
    {
        std::deque<CaptureCallback> waiting; // not yet answered, in order of arrival
        bool pictured = false;               // the picture was handed over
        bool encoded = false;
        bool storing = false; // a file is being written on the pool
        SnapEncoder::Picture picture;
        qint64 waitStartMs = -1; // since when the next answer waits for the transports
        bool timerArmed = false;
        quint64 serial = 0;
    };

    // Answers the next request when the picture is encoded and the transports have room.
    void Pump();
    void AnswerNext(const CaptureResult& _result);

    std::function<qint64()> m_funcUnsentBytes;
    std::unique_ptr<SharedGrab> m_pGrab;
    quint64 m_nGrabs = 0;
    QElapsedTimer m_clock;
};
