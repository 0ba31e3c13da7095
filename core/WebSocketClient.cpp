#include "core/WebSocketClient.h"

#include "core/WebSocketHandshake.h"

#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpSocket>

WebSocketClient::WebSocketClient(qint64 _nMaxMessageBytes, QObject* parent)
    : QObject(parent), m_pSocket(new QTcpSocket(this)), m_framing(false, _nMaxMessageBytes),
      m_nMaxMessageBytes(_nMaxMessageBytes)
{
    m_timerBound.setSingleShot(true);
    connect(&m_timerBound, &QTimer::timeout, this, [this]() {
        if (m_state == State::Connecting)
            Drop(QStringLiteral("no upgrade within %1 s").arg(kHandshakeTimeoutMs / 1000));
        else
            Abort(); // the service did not finish the closing handshake
    });
    connect(m_pSocket, &QTcpSocket::connected, this, &WebSocketClient::SlotSocketConnected);
    connect(m_pSocket, &QTcpSocket::readyRead, this, &WebSocketClient::SlotReadyRead);
    connect(m_pSocket, &QTcpSocket::disconnected, this, &WebSocketClient::SlotSocketDisconnected);
    connect(m_pSocket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError _error) {
        // A peer that closes is a disconnect, reported as one.
        if (m_state == State::Closed || _error == QAbstractSocket::RemoteHostClosedError)
            return;
        SetError(m_state == State::Connecting ? QStringLiteral("cannot connect: ") + m_pSocket->errorString()
                                              : m_pSocket->errorString());
        if (m_pSocket->state() == QAbstractSocket::UnconnectedState) {
            Finish();
            return;
        }
        // Not from inside the socket's own signal; not at all if a new connection began since.
        const quint64 generation = m_nGeneration;
        QTimer::singleShot(0, this, [this, generation]() {
            if (generation == m_nGeneration)
                Abort();
        });
    });
}

WebSocketClient::~WebSocketClient()
{
    m_pSocket->disconnect(this);
    // Tells the service this end is going away, as far as the socket takes it without waiting.
    if (m_state == State::Open) {
        m_pSocket->write(WebSocketFraming::MaskedFrame(
            WebSocketFraming::kOpClose,
            WebSocketFraming::ClosePayload(WebSocketFraming::kCloseGoingAway, {})));
        m_pSocket->flush();
    }
    m_pSocket->abort();
}

void WebSocketClient::Open(quint16 _nPort, const QByteArray& _baOrigin)
{
    if (m_state != State::Closed)
        return;
    ++m_nGeneration;
    m_nPort = _nPort;
    m_baOrigin = _baOrigin;
    m_framing = WebSocketFraming(false, m_nMaxMessageBytes);
    m_baResponse.clear();
    m_nCloseCode = 0;
    m_qstrCloseReason.clear();
    m_qstrError.clear();
    QByteArray nonce(16, '\0');
    QRandomGenerator::global()->generate(nonce.begin(), nonce.end());
    m_baKey = nonce.toBase64();
    m_state = State::Connecting;
    m_timerBound.start(kHandshakeTimeoutMs);
    // A header value cannot hold a line break.
    if (m_baOrigin.contains('\r') || m_baOrigin.contains('\n')) {
        const quint64 generation = m_nGeneration;
        QTimer::singleShot(0, this, [this, generation]() {
            if (generation == m_nGeneration)
                Drop(QStringLiteral("the origin holds a line break"));
        });
        return;
    }
    m_pSocket->connectToHost(QHostAddress(QHostAddress::LocalHost), _nPort);
}

void WebSocketClient::SlotSocketConnected()
{
    // Messages are small writes in quick succession, as on the service's end.
    m_pSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_pSocket->write(WebSocketHandshake::Request(m_nPort, m_baKey, m_baOrigin));
}

void WebSocketClient::SlotReadyRead()
{
    if (m_state == State::Closed) {
        m_pSocket->readAll();
        return;
    }
    if (m_state != State::Connecting) {
        m_framing.Append(m_pSocket->readAll());
        // A handler that spins an event loop may bring us back here; the outer pass goes on
        // with the bytes just appended.
        if (!m_blParsing)
            ReadFrames();
        return;
    }
    m_baResponse.append(m_pSocket->readAll());
    const int end = m_baResponse.indexOf("\r\n\r\n");
    if (end < 0 || end > kMaxResponseHeadBytes) {
        if (end > kMaxResponseHeadBytes || m_baResponse.size() > kMaxResponseHeadBytes + 3)
            Drop(QStringLiteral("the answer to the upgrade is too large"));
        return;
    }
    const QString refusal = WebSocketHandshake::CheckResponse(m_baResponse.left(end), m_baKey);
    if (!refusal.isEmpty()) {
        Drop(refusal);
        return;
    }
    // Frames may have come in the same packet as the answer.
    m_framing.Append(m_baResponse.mid(end + 4));
    m_baResponse = QByteArray();
    m_state = State::Open;
    m_timerBound.stop();
    emit SignConnected();
    if (m_state == State::Open && !m_blParsing)
        ReadFrames();
}

void WebSocketClient::ReadFrames()
{
    m_blParsing = true;
    // The signal handlers may close or abort; reading stops then.
    while (m_state == State::Open || m_state == State::Closing) {
        const WebSocketFraming::Item item = m_framing.Next();
        if (item.kind == WebSocketFraming::Item::Kind::None)
            break;
        if (item.kind == WebSocketFraming::Item::Kind::Failure) {
            SetError(QStringLiteral("the service broke the protocol: ") + QString::fromUtf8(item.payload));
            if (m_state == State::Open)
                SendClose(item.code, item.payload);
            else
                Abort();
            break;
        }
        if (item.kind == WebSocketFraming::Item::Kind::Close) {
            // Our own close answered, or the service's, answered here with its code; either way
            // the service closes the socket next.
            if (m_state == State::Open) {
                SendClose(item.code, QByteArray());
                m_qstrCloseReason = QString::fromUtf8(item.payload);
            }
            break;
        }
        // Once closing, only the service's close frame matters.
        if (m_state != State::Open)
            continue;
        if (item.kind == WebSocketFraming::Item::Kind::Ping)
            m_pSocket->write(WebSocketFraming::MaskedFrame(WebSocketFraming::kOpPong, item.payload));
        else
            emit SignTextMessage(item.payload);
    }
    m_blParsing = false;
}

qint64 WebSocketClient::SendText(const QByteArray& _baUtf8)
{
    if (m_state != State::Open)
        return 0;
    m_pSocket->write(WebSocketFraming::MaskedFrame(WebSocketFraming::kOpText, _baUtf8));
    // Out at once, as far as the socket takes it: a program may end right after its last send.
    m_pSocket->flush();
    return _baUtf8.size();
}

void WebSocketClient::Close(quint16 _nCode, const QByteArray& _baReason)
{
    if (m_state == State::Connecting)
        Abort();
    else if (m_state == State::Open)
        SendClose(_nCode, _baReason);
}

void WebSocketClient::SendClose(quint16 _nCode, const QByteArray& _baReason)
{
    m_state = State::Closing;
    m_nCloseCode = _nCode;
    m_qstrCloseReason = QString::fromUtf8(_baReason);
    m_pSocket->write(WebSocketFraming::MaskedFrame(WebSocketFraming::kOpClose,
                                                   WebSocketFraming::ClosePayload(_nCode, _baReason)));
    // The service closes the socket once it has answered; one that does not loses it anyway.
    m_timerBound.start(kCloseGraceMs);
}

void WebSocketClient::Drop(const QString& _qstrError)
{
    SetError(_qstrError);
    Abort();
}

void WebSocketClient::SetError(const QString& _qstrError)
{
    if (!m_qstrError.isEmpty())
        return;
    m_qstrError = _qstrError;
    emit SignError(_qstrError);
}

void WebSocketClient::Abort()
{
    if (m_state == State::Closed)
        return;
    m_pSocket->abort(); // emits disconnected when it was connected
    Finish();
}

void WebSocketClient::SlotSocketDisconnected()
{
    if (m_state == State::Connecting)
        SetError(QStringLiteral("the service closed the connection before the upgrade"));
    Finish();
}

void WebSocketClient::Finish()
{
    if (m_state == State::Closed)
        return;
    m_state = State::Closed;
    m_timerBound.stop();
    m_framing.Clear();
    emit SignDisconnected();
}

qint64 WebSocketClient::BytesToWrite() const
{
    return m_pSocket->bytesToWrite();
}
