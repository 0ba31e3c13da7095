#include "core/WebSocketConnection.h"

#include "core/Logger.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

namespace {

// How long a peer may take to finish the closing handshake before the socket is dropped.
constexpr int kCloseGraceMs = 2000;

} // namespace

WebSocketConnection::WebSocketConnection(QTcpSocket* _pSocket, qint64 _nMaxMessageBytes, QObject* parent)
    : QObject(parent), m_pSocket(_pSocket), m_framing(true, _nMaxMessageBytes)
{
    m_pSocket->setParent(this);
    m_qstrPeer =
        m_pSocket->peerAddress().toString() + QLatin1Char(':') + QString::number(m_pSocket->peerPort());
    connect(m_pSocket, &QTcpSocket::readyRead, this, &WebSocketConnection::SlotReadyRead);
    connect(m_pSocket, &QTcpSocket::disconnected, this, &WebSocketConnection::SlotSocketDisconnected);
    connect(m_pSocket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError _error) {
        if (m_state == State::Closed)
            return;
        if (_error != QAbstractSocket::RemoteHostClosedError)
            emit SignSocketError(m_pSocket->errorString());
        // Either way the connection is over; not from inside the socket's own signal.
        QTimer::singleShot(0, this, &WebSocketConnection::Abort);
    });
    // Bytes that came right behind the upgrade request.
    if (m_pSocket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &WebSocketConnection::SlotReadyRead);
}

WebSocketConnection::~WebSocketConnection()
{
    m_pSocket->disconnect(this);
    m_pSocket->abort();
}

void WebSocketConnection::SetMaxMessageBytes(qint64 _nBytes)
{
    m_framing.SetMaxMessageBytes(_nBytes);
}

qint64 WebSocketConnection::BytesToWrite() const
{
    return m_pSocket->bytesToWrite();
}

QString WebSocketConnection::ErrorString() const
{
    return m_pSocket->errorString();
}

void WebSocketConnection::WriteFrame(quint8 _nOpcode, const QByteArray& _baPayload)
{
    // A server's frames are never masked; the payload is not copied into the header's array.
    m_pSocket->write(WebSocketFraming::FrameHeader(_nOpcode, static_cast<quint64>(_baPayload.size())));
    m_pSocket->write(_baPayload);
}

qint64 WebSocketConnection::SendText(const QByteArray& _baUtf8)
{
    if (m_state != State::Open)
        return 0;
    WriteFrame(WebSocketFraming::kOpText, _baUtf8);
    return _baUtf8.size();
}

void WebSocketConnection::Close(quint16 _nCode, const QByteArray& _baReason)
{
    if (m_state != State::Open)
        return;
    m_blClosedByUs = true;
    SendClose(_nCode, _baReason);
}

void WebSocketConnection::SendClose(quint16 _nCode, const QByteArray& _baReason)
{
    m_state = State::Closing;
    m_nCloseCode = _nCode;
    m_qstrCloseReason = QString::fromUtf8(_baReason);
    WriteFrame(WebSocketFraming::kOpClose, WebSocketFraming::ClosePayload(_nCode, _baReason));
    m_framing.Clear();
    m_pSocket->disconnectFromHost();
    // A peer that neither answers nor reads cannot keep the socket.
    m_pCloseTimer = new QTimer(this);
    m_pCloseTimer->setSingleShot(true);
    connect(m_pCloseTimer, &QTimer::timeout, this, &WebSocketConnection::Abort);
    m_pCloseTimer->start(kCloseGraceMs);
}

void WebSocketConnection::Abort()
{
    if (m_state == State::Closed)
        return;
    m_pSocket->abort(); // emits disconnected when it was connected
    SlotSocketDisconnected();
}

void WebSocketConnection::SlotSocketDisconnected()
{
    m_state = State::Closed;
    if (m_pCloseTimer)
        m_pCloseTimer->stop();
    if (m_blDisconnectedEmitted)
        return;
    m_blDisconnectedEmitted = true;
    emit SignDisconnected();
}

void WebSocketConnection::Fail(quint16 _nCode, const QByteArray& _baReason)
{
    Close(_nCode, _baReason);
}

void WebSocketConnection::SlotReadyRead()
{
    if (m_state != State::Open) {
        // Whatever follows our close frame is not read any more.
        m_pSocket->readAll();
        return;
    }
    m_framing.Append(m_pSocket->readAll());
    // A handler that spins an event loop may bring us back here; the outer pass goes on
    // with the bytes just appended. The log lines of all messages read here go out in one
    // write, before any reply: the socket sends only once the event loop runs again.
    if (!m_blParsing) {
        Logger::Batch batch;
        ParseFrames();
    }
}

void WebSocketConnection::ParseFrames()
{
    m_blParsing = true;
    // The signal handlers may close this connection; parsing stops then.
    while (m_state == State::Open) {
        const WebSocketFraming::Item item = m_framing.Next();
        if (item.kind == WebSocketFraming::Item::Kind::None)
            break;
        if (item.kind == WebSocketFraming::Item::Kind::Failure) {
            Fail(item.code, item.payload);
            break;
        }
        if (item.kind == WebSocketFraming::Item::Kind::Ping) {
            WriteFrame(WebSocketFraming::kOpPong, item.payload);
            continue;
        }
        if (item.kind == WebSocketFraming::Item::Kind::Close) {
            // Answered with the peer's code.
            SendClose(item.code, QByteArray());
            m_qstrCloseReason = QString::fromUtf8(item.payload);
            break;
        }
        emit SignTextMessage(item.payload);
    }
    if (m_state != State::Open)
        m_framing.Clear();
    m_blParsing = false;
}
