#include "core/WebSocketFraming.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QtEndian>

#include <limits>

namespace {

// Codes a peer may send: not reserved (1004-1006, 1015) and in the defined ranges.
bool IsSendableCloseCode(quint16 _nCode)
{
    if (_nCode >= 3000 && _nCode <= 4999)
        return true;
    return _nCode >= 1000 && _nCode <= 1014 && _nCode != 1004 && _nCode != 1005 && _nCode != 1006;
}

} // namespace

WebSocketFraming::WebSocketFraming(bool _blFromClient, qint64 _nMaxMessageBytes)
    : m_blFromClient(_blFromClient)
{
    SetMaxMessageBytes(_nMaxMessageBytes);
}

void WebSocketFraming::SetMaxMessageBytes(qint64 _nBytes)
{
    // A message is held in one byte array.
    m_nMaxMessageBytes = qBound<qint64>(0, _nBytes, std::numeric_limits<int>::max() - 64);
}

void WebSocketFraming::Append(const QByteArray& _baBytes)
{
    if (!m_blStopped)
        m_baBuffer.append(_baBytes);
}

void WebSocketFraming::Clear()
{
    m_blStopped = true;
    m_baBuffer = QByteArray();
    m_baMessage = QByteArray();
    m_nPos = 0;
}

WebSocketFraming::Item WebSocketFraming::Stop(Item::Kind _kind, quint16 _nCode, const QByteArray& _baPayload)
{
    Clear();
    Item item;
    item.kind = _kind;
    item.code = _nCode;
    item.payload = _baPayload;
    return item;
}

WebSocketFraming::Item WebSocketFraming::Next()
{
    while (!m_blStopped) {
        Item stop;
        const std::optional<Header> header = ReadHeader(stop);
        if (!header) {
            if (stop.kind != Item::Kind::None)
                return stop;
            break;
        }
        if (static_cast<quint64>(m_baBuffer.size() - m_nPos) < header->bytes + header->length)
            break;
        const auto* data = reinterpret_cast<const uchar*>(m_baBuffer.constData()) + m_nPos;
        QByteArray payload(reinterpret_cast<const char*>(data) + header->bytes,
                           static_cast<int>(header->length));
        if (header->masked) {
            const uchar* mask = data + header->bytes - 4;
            char* bytes = payload.data();
            for (int i = 0; i < payload.size(); ++i)
                bytes[i] = static_cast<char>(bytes[i] ^ mask[i & 3]);
        }
        m_nPos += header->bytes + static_cast<int>(header->length);
        Item item = TakeFrame(*header, std::move(payload));
        if (item.kind != Item::Kind::None)
            return item;
    }
    // More bytes are needed: what was read goes, once per batch rather than once per frame.
    if (!m_blStopped) {
        m_baBuffer.remove(0, m_nPos);
        m_nPos = 0;
    }
    return Item();
}

std::optional<WebSocketFraming::Header> WebSocketFraming::ReadHeader(Item& _stop)
{
    const int available = m_baBuffer.size() - m_nPos;
    if (available < 2)
        return std::nullopt;
    const auto* data = reinterpret_cast<const uchar*>(m_baBuffer.constData()) + m_nPos;
    Header header;
    header.fin = (data[0] & 0x80) != 0;
    header.opcode = data[0] & 0x0F;
    header.masked = (data[1] & 0x80) != 0;
    if ((data[0] & 0x70) != 0) {
        _stop = Stop(Item::Kind::Failure, kCloseProtocolError, "reserved bits set");
        return std::nullopt;
    }
    if (header.masked != m_blFromClient) {
        _stop = Stop(Item::Kind::Failure, kCloseProtocolError,
                     m_blFromClient ? "client frames must be masked" : "server frames must not be masked");
        return std::nullopt;
    }
    header.bytes = 2;
    header.length = data[1] & 0x7F;
    // A length must use its shortest form, and the 64-bit one has its top bit clear.
    if (header.length == 126) {
        if (available < 4)
            return std::nullopt;
        header.length = qFromBigEndian<quint16>(data + 2);
        header.bytes = 4;
        if (header.length < 126) {
            _stop = Stop(Item::Kind::Failure, kCloseProtocolError, "over-long length");
            return std::nullopt;
        }
    } else if (header.length == 127) {
        if (available < 10)
            return std::nullopt;
        header.length = qFromBigEndian<quint64>(data + 2);
        header.bytes = 10;
        if (header.length <= 0xFFFF || (header.length >> 63) != 0) {
            _stop = Stop(Item::Kind::Failure, kCloseProtocolError, "over-long length");
            return std::nullopt;
        }
    }
    if (header.masked)
        header.bytes += 4;
    if (const char* violation = Violation(header)) {
        _stop = Stop(Item::Kind::Failure, kCloseProtocolError, violation);
        return std::nullopt;
    }
    // Refused from the header alone: the payload is never buffered.
    if ((header.opcode & 0x8) == 0 && (header.length > static_cast<quint64>(m_nMaxMessageBytes) ||
                                       static_cast<quint64>(m_baMessage.size()) + header.length >
                                           static_cast<quint64>(m_nMaxMessageBytes))) {
        _stop = Stop(Item::Kind::Failure, kCloseTooBig, "message too big");
        return std::nullopt;
    }
    return header;
}

const char* WebSocketFraming::Violation(const Header& _header) const
{
    const quint8 opcode = _header.opcode;
    if ((opcode & 0x8) != 0) {
        if (opcode != kOpClose && opcode != kOpPing && opcode != kOpPong)
            return "unknown control opcode";
        if (!_header.fin || _header.length > 125)
            return "control frames are short and unfragmented";
        return nullptr;
    }
    if (opcode != kOpContinuation && opcode != kOpText && opcode != kOpBinary)
        return "unknown data opcode";
    if ((opcode == kOpContinuation) != m_blInMessage)
        return "fragments out of order";
    return nullptr;
}

WebSocketFraming::Item WebSocketFraming::TakeFrame(const Header& _header, QByteArray _baPayload)
{
    const quint8 opcode = _header.opcode;
    if (opcode == kOpPing) {
        Item item;
        item.kind = Item::Kind::Ping;
        item.payload = _baPayload;
        return item;
    }
    if (opcode == kOpPong)
        return Item();
    if (opcode == kOpClose) {
        // A close without a code is a normal close; one that breaks the rules is answered as
        // a protocol error or invalid data.
        const quint16 code =
            _baPayload.size() >= 2 ? qFromBigEndian<quint16>(_baPayload.constData()) : quint16(kCloseNormal);
        if (_baPayload.size() == 1 || (_baPayload.size() >= 2 && !IsSendableCloseCode(code)))
            return Stop(Item::Kind::Failure, kCloseProtocolError, "invalid close frame");
        if (!IsValidUtf8(_baPayload.mid(2)))
            return Stop(Item::Kind::Failure, kCloseInvalidData, "close reason is not UTF-8");
        return Stop(Item::Kind::Close, code, _baPayload.mid(2));
    }
    if (opcode != kOpContinuation) {
        m_nMessageOpcode = opcode;
        m_blInMessage = true;
    }
    if (!_header.fin) {
        m_baMessage.append(_baPayload);
        return Item();
    }
    QByteArray message;
    if (m_baMessage.isEmpty())
        message.swap(_baPayload); // a message in one frame, the usual case, is not copied again
    else
        message = m_baMessage.append(_baPayload);
    m_baMessage = QByteArray();
    m_blInMessage = false;
    if (m_nMessageOpcode != kOpText)
        return Item(); // binary messages carry nothing we understand; they are dropped
    if (!IsValidUtf8(message))
        return Stop(Item::Kind::Failure, kCloseInvalidData, "text is not UTF-8");
    Item item;
    item.kind = Item::Kind::Text;
    item.payload.swap(message);
    return item;
}

QByteArray WebSocketFraming::FrameHeader(quint8 _nOpcode, quint64 _nLength, const uchar* _pMask)
{
    QByteArray header;
    header.reserve(14);
    header.append(static_cast<char>(0x80 | _nOpcode));
    const char maskBit = _pMask ? char(0x80) : char(0);
    if (_nLength < 126) {
        header.append(static_cast<char>(maskBit | char(_nLength)));
    } else if (_nLength <= 0xFFFF) {
        header.append(static_cast<char>(maskBit | 126));
        uchar bytes[2];
        qToBigEndian<quint16>(static_cast<quint16>(_nLength), bytes);
        header.append(reinterpret_cast<const char*>(bytes), 2);
    } else {
        header.append(static_cast<char>(maskBit | 127));
        uchar bytes[8];
        qToBigEndian<quint64>(_nLength, bytes);
        header.append(reinterpret_cast<const char*>(bytes), 8);
    }
    if (_pMask)
        header.append(reinterpret_cast<const char*>(_pMask), 4);
    return header;
}

QByteArray WebSocketFraming::MaskedFrame(quint8 _nOpcode, const QByteArray& _baPayload)
{
    // The mask keeps a page's script from choosing the bytes an intermediary sees.
    const quint32 key = QRandomGenerator::global()->generate();
    uchar mask[4];
    qToBigEndian<quint32>(key, mask);
    QByteArray frame = FrameHeader(_nOpcode, static_cast<quint64>(_baPayload.size()), mask);
    const int start = frame.size();
    frame.resize(start + _baPayload.size());
    char* out = frame.data() + start;
    const char* in = _baPayload.constData();
    for (int i = 0; i < _baPayload.size(); ++i)
        out[i] = static_cast<char>(in[i] ^ mask[i & 3]);
    return frame;
}

QByteArray WebSocketFraming::ClosePayload(quint16 _nCode, const QByteArray& _baReason)
{
    QByteArray payload(2, '\0');
    qToBigEndian<quint16>(_nCode, reinterpret_cast<uchar*>(payload.data()));
    payload.append(_baReason.left(123)); // control frames carry at most 125 bytes
    return payload;
}

QByteArray WebSocketFraming::AcceptKey(const QByteArray& _baKey)
{
    return QCryptographicHash::hash(_baKey + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1)
        .toBase64();
}

bool WebSocketFraming::IsValidUtf8(const QByteArray& _baText)
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
