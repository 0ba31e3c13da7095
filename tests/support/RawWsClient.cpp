#include "tests/support/RawWsClient.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QtEndian>

QByteArray webSocketUpgradeRequest(const QByteArray& _baHost, const QByteArray& _baConnection,
                                   const QByteArray& _baOrigin)
{
    QByteArray request = "GET / HTTP/1.1\r\nHost: " + _baHost +
                         "\r\nUpgrade: websocket\r\nConnection: " + _baConnection +
                         "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    if (!_baOrigin.isNull())
        request += "Origin: " + _baOrigin + "\r\n";
    return request + "\r\n";
}

bool RawWsClient::Open(quint16 _nPort)
{
    return Open(_nPort,
                webSocketUpgradeRequest("127.0.0.1:" + QByteArray::number(_nPort), "keep-alive, Upgrade"));
}

bool RawWsClient::Open(quint16 _nPort, const QByteArray& _baRequest, int _nTimeoutMs)
{
    m_socket.connectToHost(QHostAddress::LocalHost, _nPort);
    if (!m_socket.waitForConnected(_nTimeoutMs))
        return false;
    m_socket.write(_baRequest);
    QDeadlineTimer deadline(_nTimeoutMs);
    while (!m_buffer.contains("\r\n\r\n") && !deadline.hasExpired())
        if (m_socket.waitForReadyRead(100))
            m_buffer += m_socket.readAll();
    const int end = m_buffer.indexOf("\r\n\r\n");
    m_baHead = end >= 0 ? m_buffer.left(end) : m_buffer;
    m_buffer.remove(0, end >= 0 ? end + 4 : m_buffer.size());
    return end >= 0 && m_baHead.startsWith("HTTP/1.1 101");
}

void RawWsClient::Write(const QByteArray& _baBytes)
{
    m_socket.write(_baBytes);
    m_socket.waitForBytesWritten(5000);
}

std::optional<ServerFrame> RawWsClient::Read(int _nTimeoutMs)
{
    QDeadlineTimer deadline(_nTimeoutMs);
    for (;;) {
        if (m_buffer.size() >= 2) {
            const auto* d = reinterpret_cast<const uchar*>(m_buffer.constData());
            int header = 2;
            quint64 length = d[1] & 0x7F;
            if (length == 126 && m_buffer.size() >= 4) {
                length = qFromBigEndian<quint16>(d + 2);
                header = 4;
            } else if (length == 127 && m_buffer.size() >= 10) {
                length = qFromBigEndian<quint64>(d + 2);
                header = 10;
            } else if (length >= 126) {
                header = 1 << 20; // wait for the rest of the header
            }
            if (quint64(m_buffer.size()) >= header + length) {
                ServerFrame frame{quint8(d[0] & 0x0F), (d[0] & 0x80) != 0, m_buffer.mid(header, int(length))};
                m_buffer.remove(0, header + int(length));
                return frame;
            }
        }
        if (deadline.hasExpired() || m_socket.state() != QAbstractSocket::ConnectedState)
            return std::nullopt;
        if (m_socket.waitForReadyRead(int(qMin<qint64>(100, qMax<qint64>(1, deadline.remainingTime())))))
            m_buffer += m_socket.readAll();
    }
}

std::optional<QByteArray> RawWsClient::ReadText(int _nTimeoutMs)
{
    for (;;) {
        const auto frame = Read(_nTimeoutMs);
        if (!frame)
            return std::nullopt;
        if (frame->opcode == 0x1)
            return frame->payload;
    }
}

bool RawWsClient::WaitClosedByServer(int _nTimeoutMs)
{
    return m_socket.state() == QAbstractSocket::UnconnectedState || m_socket.waitForDisconnected(_nTimeoutMs);
}

QByteArray rawWebSocketHandshake(quint16 _nPort, const QByteArray& _baHost, const QByteArray& _baOrigin,
                                 int _nTimeoutMs)
{
    RawWsClient client;
    client.Open(_nPort, webSocketUpgradeRequest(_baHost, "Upgrade", _baOrigin), _nTimeoutMs);
    return client.ResponseHead();
}
