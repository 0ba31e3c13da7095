#include "core/WebSocketConnection.h"

#include "core/Logger.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <limits>

namespace {

constexpr quint8 kOpContinuation = 0x0;
constexpr quint8 kOpText = 0x1;
constexpr quint8 kOpBinary = 0x2;
constexpr quint8 kOpClose = 0x8;
constexpr quint8 kOpPing = 0x9;
constexpr quint8 kOpPong = 0xA;
// How long a peer may take to finish the closing handshake before the socket is dropped.
constexpr int kCloseGraceMs = 2000;

// Codes a peer may send: not reserved (1004-1006, 1015) and in the defined ranges.
bool IsSendableCloseCode(quint16 _nCode)
{
    if (_nCode >= 3000 && _nCode <= 4999)
        return true;
    return _nCode >= 1000 && _nCode <= 1014 && _nCode != 1004 && _nCode != 1005 && _nCode != 1006;
}

} // namespace

WebSocketConnection::WebSocketConnection(QTcpSocket* _pSocket, qint64 _nMaxMessageBytes, QObject* parent)
    : QObject(parent), m_pSocket(_pSocket)
{
    SetMaxMessageBytes(_nMaxMessageBytes);
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
    // A message is held in one byte array.
    m_nMaxMessageBytes = qBound<qint64>(0, _nBytes, std::numeric_limits<int>::max() - 64);
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
    // A server's frames are never masked.
    QByteArray header;
    header.reserve(10);
    header.append(static_cast<char>(0x80 | _nOpcode));
    const quint64 length = static_cast<quint64>(_baPayload.size());
    if (length < 126) {
        header.append(static_cast<char>(length));
    } else if (length <= 0xFFFF) {
        header.append(static_cast<char>(126));
        uchar bytes[2];
        qToBigEndian<quint16>(static_cast<quint16>(length), bytes);
        header.append(reinterpret_cast<const char*>(bytes), 2);
    } else {
        header.append(static_cast<char>(127));
        uchar bytes[8];
        qToBigEndian<quint64>(length, bytes);
        header.append(reinterpret_cast<const char*>(bytes), 8);
    }
    m_pSocket->write(header);
    m_pSocket->write(_baPayload);
}

qint64 WebSocketConnection::SendText(const QByteArray& _baUtf8)
{
    if (m_state != State::Open)
        return 0;
    WriteFrame(kOpText, _baUtf8);
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
    QByteArray payload(2, '\0');
    qToBigEndian<quint16>(_nCode, reinterpret_cast<uchar*>(payload.data()));
    payload.append(_baReason.left(123)); // control frames carry at most 125 bytes
    WriteFrame(kOpClose, payload);
    m_baBuffer.clear();
    m_baMessage.clear();
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
    m_baBuffer.append(m_pSocket->readAll());
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
    int pos = 0; // consumed bytes, removed once at the end
    // The signal handlers may close this connection; parsing stops then.
    while (m_state == State::Open) {
        const int available = m_baBuffer.size() - pos;
        if (available < 2)
            break;
        const auto* data = reinterpret_cast<const uchar*>(m_baBuffer.constData()) + pos;
        const bool fin = (data[0] & 0x80) != 0;
        const quint8 opcode = data[0] & 0x0F;
        const bool masked = (data[1] & 0x80) != 0;
        if ((data[0] & 0x70) != 0) {
            Fail(kCloseProtocolError, "reserved bits set");
            break;
        }
        if (!masked) {
            Fail(kCloseProtocolError, "client frames must be masked");
            break;
        }
        int header = 2;
        quint64 length = data[1] & 0x7F;
        // A length must use its shortest form, and the 64-bit one has its top bit clear.
        if (length == 126) {
            if (available < 4)
                break;
            length = qFromBigEndian<quint16>(data + 2);
            header = 4;
            if (length < 126) {
                Fail(kCloseProtocolError, "over-long length");
                break;
            }
        } else if (length == 127) {
            if (available < 10)
                break;
            length = qFromBigEndian<quint64>(data + 2);
            header = 10;
            if (length <= 0xFFFF || (length >> 63) != 0) {
                Fail(kCloseProtocolError, "over-long length");
                break;
            }
        }
        header += 4; // the mask
        const bool control = (opcode & 0x8) != 0;
        QByteArray failure;
        if (control) {
            if (opcode != kOpClose && opcode != kOpPing && opcode != kOpPong)
                failure = "unknown control opcode";
            else if (!fin || length > 125)
                failure = "control frames are short and unfragmented";
        } else if (opcode != kOpContinuation && opcode != kOpText && opcode != kOpBinary) {
            failure = "unknown data opcode";
        } else if ((opcode == kOpContinuation) != m_blInMessage) {
            failure = "fragments out of order";
        } else if (length > static_cast<quint64>(m_nMaxMessageBytes) ||
                   static_cast<quint64>(m_baMessage.size()) + length >
                       static_cast<quint64>(m_nMaxMessageBytes)) {
            // Refused from the header alone: the payload is never buffered.
            Fail(kCloseTooBig, "message too big");
            break;
        }
        if (!failure.isEmpty()) {
            Fail(kCloseProtocolError, failure);
            break;
        }
        if (static_cast<quint64>(available) < header + length)
            break;

        QByteArray payload(reinterpret_cast<const char*>(data) + header, static_cast<int>(length));
        const uchar* mask = data + header - 4;
        char* bytes = payload.data();
        for (int i = 0; i < payload.size(); ++i)
            bytes[i] = static_cast<char>(bytes[i] ^ mask[i & 3]);
        pos += header + static_cast<int>(length);

        if (opcode == kOpPing) {
            WriteFrame(kOpPong, payload);
            continue;
        }
        if (opcode == kOpPong)
            continue;
        if (opcode == kOpClose) {
            // Answer with the peer's code (a close without one is a normal close); a close that
            // breaks the rules is answered as a protocol error or invalid data.
            const quint16 code =
                payload.size() >= 2 ? qFromBigEndian<quint16>(payload.constData()) : quint16(kCloseNormal);
            if (payload.size() == 1 || (payload.size() >= 2 && !IsSendableCloseCode(code))) {
                Fail(kCloseProtocolError, "invalid close frame");
                break;
            }
            if (!IsValidUtf8(payload.mid(2))) {
                Fail(kCloseInvalidData, "close reason is not UTF-8");
                break;
            }
            SendClose(code, QByteArray());
            m_qstrCloseReason = QString::fromUtf8(payload.mid(2));
            break;
        }
        if (opcode != kOpContinuation) {
            m_nMessageOpcode = opcode;
            m_blInMessage = true;
        }
        if (!fin) {
            m_baMessage.append(payload);
            continue;
        }
        QByteArray message;
        if (m_baMessage.isEmpty())
            message.swap(payload); // a message in one frame, the usual case, is not copied again
        else
            message = m_baMessage.append(payload);
        m_baMessage = QByteArray();
        m_blInMessage = false;
        if (m_nMessageOpcode == kOpText) {
            if (!IsValidUtf8(message)) {
                Fail(kCloseInvalidData, "text is not UTF-8");
                break;
            }
            emit SignTextMessage(message);
        }
        // Binary messages carry nothing this service understands; they are dropped.
    }
    if (m_state == State::Open)
        m_baBuffer.remove(0, pos);
    else
        m_baBuffer.clear();
    m_blParsing = false;
}

bool WebSocketConnection::IsValidUtf8(const QByteArray& _baText)
{
    const auto* s = reinterpret_cast<const uchar*>(_baText.constData());
    const int n = _baText.size();
    int i = 0;
    while (i < n) {
        const uchar c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int extra = 0;
        uint cp = 0;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n)
            return false;
        for (int k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        static const uint kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}
