#include "tests/support/ZmqTestClient.h"

#include "tests/support/TestEnvelope.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <zmq.h>

namespace {

// One context for every client of the process; contexts are thread-safe, sockets are not.
void* SharedContext()
{
    static void* s_pContext = zmq_ctx_new();
    return s_pContext;
}

// Keeps WebSocket clients of the same test moving while a ZeroMQ wait blocks.
void PumpQtEvents()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

} // namespace

ZmqTestClient::ZmqTestClient(const QString& _qstrName, quint16 _nPort)
    : ZmqTestClient(_qstrName, _qstrName.toUtf8(), _nPort)
{
}

std::unique_ptr<ZmqTestClient> ZmqTestClient::withIdentity(const QByteArray& _baIdentity, quint16 _nPort)
{
    return std::unique_ptr<ZmqTestClient>(
        new ZmqTestClient(QString::fromUtf8(_baIdentity), _baIdentity, _nPort));
}

ZmqTestClient::ZmqTestClient(const QString& _qstrName, const QByteArray& _baIdentity, quint16 _nPort)
    : m_qstrName(_qstrName)
{
    m_pSocket = zmq_socket(SharedContext(), ZMQ_DEALER);
    zmq_setsockopt(m_pSocket, ZMQ_ROUTING_ID, _baIdentity.constData(),
                   static_cast<size_t>(_baIdentity.size()));
    // Messages sent just before the client goes away still leave; the shared context is never
    // terminated, so nothing waits for them.
    const int linger = 2000;
    zmq_setsockopt(m_pSocket, ZMQ_LINGER, &linger, sizeof linger);
    // Benchmarks push many messages at once; do not drop or block on the default 1000.
    const int hwm = 0;
    zmq_setsockopt(m_pSocket, ZMQ_SNDHWM, &hwm, sizeof hwm);
    zmq_setsockopt(m_pSocket, ZMQ_RCVHWM, &hwm, sizeof hwm);
    const QByteArray endpoint = "tcp://127.0.0.1:" + QByteArray::number(_nPort);
    zmq_connect(m_pSocket, endpoint.constData());
}

const JsonCommand& ZmqTestClient::Message::Parsed()
{
    if (!envelope) {
        envelope.emplace();
        if (!frames.isEmpty())
            envelope->LoadFromString(frames.last());
    }
    return *envelope;
}

ZmqTestClient::~ZmqTestClient()
{
    if (m_pSocket)
        zmq_close(m_pSocket);
}

bool ZmqTestClient::login(const QStringList& _listAbilities, int _nTimeoutMs)
{
    JsonCommand request = makeLogin(m_qstrName, _listAbilities);
    return send(request) &&
           loginAnswered([this](const EnvelopePredicate& p, int ms) { return waitFor(p, ms); }, request.guid,
                         _nTimeoutMs);
}

bool ZmqTestClient::send(JsonCommand _jsonCommand)
{
    if (_jsonCommand.from.isEmpty())
        _jsonCommand.from = m_qstrName;
    return sendText(_jsonCommand.ToString());
}

bool ZmqTestClient::sendText(const QByteArray& _baBody)
{
    return sendFrames({QByteArray::number(_baBody.size()), _baBody});
}

bool ZmqTestClient::sendFrames(const QList<QByteArray>& _listFrames)
{
    for (int i = 0; i < _listFrames.size(); ++i) {
        const int flags = i + 1 < _listFrames.size() ? ZMQ_SNDMORE : 0;
        const QByteArray& frame = _listFrames.at(i);
        if (zmq_send(m_pSocket, frame.constData(), static_cast<size_t>(frame.size()), flags) < 0)
            return false;
    }
    return true;
}

bool ZmqTestClient::ReadOne(int _nTimeoutMs)
{
    QDeadlineTimer deadline(qMax(0, _nTimeoutMs));
    for (;;) {
        zmq_pollitem_t item{m_pSocket, 0, ZMQ_POLLIN, 0};
        const qint64 left = deadline.remainingTime();
        // Short slices so that Qt events are pumped between them.
        const long slice = QCoreApplication::instance() ? qMin<qint64>(left, 5) : left;
        if (zmq_poll(&item, 1, slice) > 0 && (item.revents & ZMQ_POLLIN)) {
            QList<QByteArray> frames;
            for (;;) {
                zmq_msg_t msg;
                zmq_msg_init(&msg);
                if (zmq_msg_recv(&msg, m_pSocket, 0) < 0) {
                    zmq_msg_close(&msg);
                    return false;
                }
                frames.append(QByteArray(static_cast<const char*>(zmq_msg_data(&msg)),
                                         static_cast<int>(zmq_msg_size(&msg))));
                const bool more = zmq_msg_more(&msg);
                zmq_msg_close(&msg);
                if (!more)
                    break;
            }
            m_queue.push_back(Message{frames, std::nullopt});
            return true;
        }
        PumpQtEvents();
        if (deadline.hasExpired())
            return false;
    }
}

std::optional<QList<QByteArray>> ZmqTestClient::receiveFrames(int _nTimeoutMs)
{
    if (m_queue.empty() && !ReadOne(_nTimeoutMs))
        return std::nullopt;
    QList<QByteArray> frames = m_queue.front().frames;
    m_queue.pop_front();
    return frames;
}

std::optional<JsonCommand> ZmqTestClient::receive(int _nTimeoutMs)
{
    if (m_queue.empty() && !ReadOne(_nTimeoutMs))
        return std::nullopt;
    JsonCommand envelope = m_queue.front().Parsed();
    m_queue.pop_front();
    return envelope;
}

std::optional<JsonCommand> ZmqTestClient::waitFor(const Predicate& _predicate, int _nTimeoutMs)
{
    QDeadlineTimer deadline(qMax(0, _nTimeoutMs));
    size_t checked = 0;
    for (;;) {
        for (; checked < m_queue.size(); ++checked) {
            if (_predicate(m_queue[checked].Parsed())) {
                JsonCommand envelope = m_queue[checked].Parsed();
                m_queue.erase(m_queue.begin() + static_cast<std::ptrdiff_t>(checked));
                return envelope;
            }
        }
        if (!ReadOne(static_cast<int>(deadline.remainingTime())) && deadline.hasExpired())
            return std::nullopt;
    }
}

QList<JsonCommand> ZmqTestClient::collectUntil(const QString& _qstrGuid, const Predicate& _isFinal,
                                               int _nTimeoutMs)
{
    return collectWithGuid([this](const EnvelopePredicate& p, int ms) { return waitFor(p, ms); }, _qstrGuid,
                           _isFinal, _nTimeoutMs);
}
