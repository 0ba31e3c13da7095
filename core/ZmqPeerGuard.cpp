#include "core/ZmqPeerGuard.h"
#include "core/LogCategories.h"

#include "core/PeerCredentials.h"

#include <QDebug>
#include <QList>

#include <zmq.h>

#include <cstdint>
#include <cstring>

namespace {

// libzmq asks the handler bound here, in the same context, about every handshake.
const char kHandlerEndpoint[] = "inproc://zeromq.zap.01";
const char kMonitorPrefix[] = "inproc://qorv-zmq-monitor-";
const char kDomain[] = "qorv";

QList<QByteArray> ReceiveMessage(void* _pSocket)
{
    QList<QByteArray> frames;
    int more = 1;
    while (more) {
        zmq_msg_t frame;
        zmq_msg_init(&frame);
        if (zmq_msg_recv(&frame, _pSocket, ZMQ_DONTWAIT) < 0) {
            zmq_msg_close(&frame);
            break;
        }
        frames.append(QByteArray(static_cast<const char*>(zmq_msg_data(&frame)),
                                 static_cast<int>(zmq_msg_size(&frame))));
        more = zmq_msg_more(&frame);
        zmq_msg_close(&frame);
    }
    return frames;
}

void SendMessage(void* _pSocket, const QList<QByteArray>& _listFrames)
{
    for (int i = 0; i < _listFrames.size(); ++i)
        zmq_send(_pSocket, _listFrames.at(i).constData(), _listFrames.at(i).size(),
                 ZMQ_DONTWAIT | (i + 1 < _listFrames.size() ? ZMQ_SNDMORE : 0));
}

} // namespace

ZmqPeerGuard::~ZmqPeerGuard()
{
    Close();
}

bool ZmqPeerGuard::Attach(void* _pContext, void* _pSocket, quint16 _nPort)
{
    m_nPort = _nPort;
    m_pHandler = zmq_socket(_pContext, ZMQ_ROUTER);
    const int linger = 0;
    zmq_setsockopt(m_pHandler, ZMQ_LINGER, &linger, sizeof linger);
    if (zmq_bind(m_pHandler, kHandlerEndpoint) != 0) {
        qCCritical(lcCore) << "ZmqPeerGuard::Attach:handler bind failed:" << zmq_strerror(zmq_errno());
        return false;
    }
    zmq_setsockopt(_pSocket, ZMQ_ZAP_DOMAIN, kDomain, std::strlen(kDomain));

    const QByteArray monitor = kMonitorPrefix + QByteArray::number(reinterpret_cast<quintptr>(_pSocket));
    if (zmq_socket_monitor(_pSocket, monitor.constData(),
                           ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_DISCONNECTED | ZMQ_EVENT_CLOSED) != 0) {
        qCCritical(lcCore) << "ZmqPeerGuard::Attach:monitor failed:" << zmq_strerror(zmq_errno());
        return false;
    }
    m_pMonitor = zmq_socket(_pContext, ZMQ_PAIR);
    zmq_setsockopt(m_pMonitor, ZMQ_LINGER, &linger, sizeof linger);
    // No bound on unread events: a dropped "accepted" report would let a stranger through.
    const int unbounded = 0;
    zmq_setsockopt(m_pMonitor, ZMQ_RCVHWM, &unbounded, sizeof unbounded);
    return zmq_connect(m_pMonitor, monitor.constData()) == 0;
}

void ZmqPeerGuard::Close()
{
    for (void** socket : {&m_pMonitor, &m_pHandler})
        if (*socket) {
            zmq_close(*socket);
            *socket = nullptr;
        }
}

void ZmqPeerGuard::OnMonitorInput()
{
    ReadMonitorEvents();
    AnswerHeldRequests();
}

void ZmqPeerGuard::OnHandlerInput()
{
    // Requests are taken first and the monitor read after: every connection whose request is held
    // was reported accepted before it asked, so its report is among those read now.
    for (QList<QByteArray> frames = ReceiveMessage(m_pHandler); !frames.isEmpty();
         frames = ReceiveMessage(m_pHandler))
        if (frames.size() >= 4)
            m_vecHeld.push_back({frames.at(0), frames.at(3)}); // route, "", version, request id
    ReadMonitorEvents();
    AnswerHeldRequests();
}

void ZmqPeerGuard::ReadMonitorEvents()
{
    for (QList<QByteArray> frames = ReceiveMessage(m_pMonitor); !frames.isEmpty();
         frames = ReceiveMessage(m_pMonitor)) {
        if (frames.at(0).size() < 6)
            continue;
        uint16_t event = 0;
        uint32_t value = 0;
        std::memcpy(&event, frames.at(0).constData(), 2);
        std::memcpy(&value, frames.at(0).constData() + 2, 4);
        if (event == ZMQ_EVENT_ACCEPTED) {
            Judge(static_cast<int>(value));
        } else {
            m_setStrangers.erase(static_cast<int>(value));
            if (m_onClosed)
                m_onClosed(static_cast<int>(value));
        }
    }
}

void ZmqPeerGuard::Judge(int _nFd)
{
    uint uid = 0;
    const auto owner = PeerCredentials::AcceptedSocketOwner(_nFd, m_nPort, &uid);
    // Nothing: the descriptor was closed (and maybe reused) before this report was read.
    if (!owner || *owner == PeerCredentials::Owner::SameUser)
        return;
    ++m_nRefused;
    NoteRefusal(*owner == PeerCredentials::Owner::OtherUser ? static_cast<qint64>(uid) : -1);
    m_setStrangers.insert(_nFd);
    PeerCredentials::ShutDownSocket(_nFd);
}

void ZmqPeerGuard::NoteRefusal(qint64 _nUid)
{
    m_refusals.Note(_nUid,
                    _nUid >= 0
                        ? QStringLiteral("ZmqServer: connection of another user refused, uid: %1").arg(_nUid)
                        : QStringLiteral("ZmqServer: connection of an unknown user refused, uid: "
                                         "unknown"));
}

int ZmqPeerGuard::MsUntilSummary() const
{
    return m_refusals.MsUntilDue();
}

void ZmqPeerGuard::Summarise()
{
    m_refusals.LogDue();
}

void ZmqPeerGuard::AnswerHeldRequests()
{
    // While a stranger's connection is still open, nobody's handshake ends: the held requests
    // cannot be told apart, and libzmq reports the stranger closed within moments.
    if (!m_setStrangers.empty())
        return;
    for (const Request& request : m_vecHeld)
        SendMessage(m_pHandler,
                    {request.route, QByteArray(), QByteArrayLiteral("1.0"), request.id,
                     QByteArrayLiteral("200"), QByteArrayLiteral("OK"), QByteArray(), QByteArray()});
    m_vecHeld.clear();
}
