#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The opening handshake of a WebSocket connection (RFC 6455) as bytes, without a socket: the
// service's check of an upgrade request and the answer it writes, and the client's request and
// its check of the service's answer.
//
// Any program of any user, and any web page the user opens, can send the service a request, so
// the check reads no more than kMaxRequestBytes, and the Host header must name the loopback
// interface (DNS rebinding) and an Origin header, which only browsers send, must be allowed.
class WebSocketHandshake
{
public:
    // What the service does with the bytes a connection has sent before its upgrade.
    struct Verdict
    {
        enum class Kind {
            Incomplete, // the request's blank line has not come yet
            TooLarge,   // and it will not come within kMaxRequestBytes: refused
            Refused,
            Upgrade,
        };
        Kind kind = Kind::Incomplete;
        // Upgrade: the 101 answer; TooLarge, Refused: the refusal, after which the service closes.
        QByteArray response;
        // Upgrade: the request's bytes, blank line included; what follows them are frames.
        int requestBytes = 0;
        // Refused: why, for the log.
        QString reason;
    };
    // _nPort is the port the service listens on; the Host header must name it.
    static Verdict Check(const QByteArray& _baReceived, quint16 _nPort,
                         const QStringList& _listAllowedOrigins);

    // The client's request to 127.0.0.1:_nPort with its Sec-WebSocket-Key, and an Origin header
    // when _baOrigin is not empty (as a browser sends).
    static QByteArray Request(quint16 _nPort, const QByteArray& _baKey, const QByteArray& _baOrigin);
    // Why the head of the service's answer (status line and headers, without the blank line)
    // refuses the upgrade asked for with _baKey; empty when it accepts it.
    static QString CheckResponse(const QByteArray& _baHead, const QByteArray& _baKey);

    static constexpr int kMaxRequestBytes = 16 * 1024;
};
