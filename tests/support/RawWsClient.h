#pragma once

#include <QByteArray>
#include <QTcpSocket>

#include <optional>

// The upgrade request a browser sends, with this Host and Connection, and an Origin header when
// _baOrigin is not null.
QByteArray webSocketUpgradeRequest(const QByteArray& _baHost, const QByteArray& _baConnection = "Upgrade",
                                   const QByteArray& _baOrigin = QByteArray());

// A frame as the server sent it.
struct ServerFrame
{
    quint8 opcode = 0;
    bool fin = false;
    QByteArray payload;
};

// A WebSocket client on a plain TCP socket, for requests and frames a real client would never
// send. Every wait blocks the calling thread up to its bound.
class RawWsClient
{
public:
    // Writes the upgrade request of a browser (Connection: keep-alive, Upgrade).
    bool Open(quint16 _nPort);
    // Writes this request and reads the answer's head; true when it is a 101, after which the
    // connection speaks WebSocket.
    bool Open(quint16 _nPort, const QByteArray& _baRequest, int _nTimeoutMs = 5000);
    // The status line and headers of the answer, up to the blank line (what came, when it did not).
    QByteArray ResponseHead() const { return m_baHead; }

    void Write(const QByteArray& _baBytes);
    std::optional<ServerFrame> Read(int _nTimeoutMs = 10000);
    // The next text frame, skipping others.
    std::optional<QByteArray> ReadText(int _nTimeoutMs = 10000);
    bool WaitClosedByServer(int _nTimeoutMs = 10000);

private:
    QTcpSocket m_socket;
    QByteArray m_baHead;
    QByteArray m_buffer;
};

// Writes an upgrade request with these Host and Origin values (the Origin header only when not
// null) and returns the response head, or an empty array when nothing came back in time. Lets
// tests send headers a real client would not (a foreign Host, an Origin of "null").
QByteArray rawWebSocketHandshake(quint16 _nPort, const QByteArray& _baHost, const QByteArray& _baOrigin,
                                 int _nTimeoutMs = 5000);
