#pragma once

#include <QByteArray>

#include <optional>

// What both ends of a WebSocket connection (RFC 6455) share, without a socket: an instance reads
// received bytes into messages and control frames, checking each frame from its header before
// any payload is buffered; the static part writes frames and makes the opening handshake's key.
class WebSocketFraming
{
public:
    enum : quint8 {
        kOpContinuation = 0x0,
        kOpText = 0x1,
        kOpBinary = 0x2,
        kOpClose = 0x8,
        kOpPing = 0x9,
        kOpPong = 0xA,
    };
    // Close codes used here.
    enum : quint16 {
        kCloseNormal = 1000,
        kCloseGoingAway = 1001,
        kCloseProtocolError = 1002,
        kCloseInvalidData = 1007,
        kClosePolicyViolation = 1008,
        kCloseTooBig = 1009,
    };

    // _blFromClient: the frames read come from a client and must be masked; a server's must not.
    WebSocketFraming(bool _blFromClient, qint64 _nMaxMessageBytes);

    // Messages (all frames together) above this are refused with kCloseTooBig.
    void SetMaxMessageBytes(qint64 _nBytes);
    void Append(const QByteArray& _baBytes);
    // Forgets everything received; nothing is read any more.
    void Clear();

    struct Item
    {
        enum class Kind { None, Text, Ping, Close, Failure };
        Kind kind = Kind::None;
        // Text: the message (checked UTF-8); Ping: its payload; Close: the peer's reason;
        // Failure: why the connection must be closed.
        QByteArray payload;
        // Close: the peer's code (kCloseNormal when it sent none); Failure: the code to close with.
        quint16 code = 0;
    };
    // The next complete item; None while more bytes are needed. Nothing follows a Close or a
    // Failure. Pongs and binary messages carry nothing for us and are passed over.
    Item Next();

    // The header of an unfragmented frame; masked with _pMask (4 bytes) when it is not null.
    static QByteArray FrameHeader(quint8 _nOpcode, quint64 _nLength, const uchar* _pMask = nullptr);
    // A whole frame as a client sends it, masked with a fresh random key.
    static QByteArray MaskedFrame(quint8 _nOpcode, const QByteArray& _baPayload);
    // A close frame's payload: the code, then as much of the reason as a control frame holds.
    static QByteArray ClosePayload(quint16 _nCode, const QByteArray& _baReason);
    // True when _baText is well-formed UTF-8 (no overlong forms, surrogates or values past
    // U+10FFFF), as a text message must be.
    static bool IsValidUtf8(const QByteArray& _baText);
    // The Sec-WebSocket-Accept that answers a Sec-WebSocket-Key.
    static QByteArray AcceptKey(const QByteArray& _baKey);

private:
    struct Header
    {
        bool fin = false;
        bool masked = false;
        quint8 opcode = 0;
        int bytes = 0;      // the header's own, mask included
        quint64 length = 0; // the payload's
    };
    // The header of the frame at m_nPos, checked against the rules and the size bound before any
    // payload is buffered. Nothing while more bytes are needed, or when it is refused: _stop
    // holds the Failure then.
    std::optional<Header> ReadHeader(Item& _stop);
    // Which rule a frame with this header breaks (its opcode, a control frame's size, the order
    // of fragments); null when it breaks none.
    const char* Violation(const Header& _header) const;
    // What a whole frame (its payload unmasked) makes: an item, or None for a frame passed over
    // or one more fragment of a message.
    Item TakeFrame(const Header& _header, QByteArray _baPayload);
    Item Stop(Item::Kind _kind, quint16 _nCode, const QByteArray& _baPayload);

    bool m_blFromClient;
    qint64 m_nMaxMessageBytes = 0;
    QByteArray m_baBuffer; // received bytes; those before m_nPos are read
    int m_nPos = 0;
    QByteArray m_baMessage; // payload of the fragmented message being assembled
    quint8 m_nMessageOpcode = 0;
    bool m_blInMessage = false;
    bool m_blStopped = false;
};
