#pragma once

#include "core/WebSocketFraming.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;
class QTimer;

// The server end of one WebSocket connection (RFC 6455) on a socket whose upgrade has been
// answered. Frames are parsed as bytes arrive and never waited for: a client that sends half a
// frame holds only its own connection, not the thread every other client shares. (Qt 5's
// QWebSocket blocks in waitForReadyRead for up to five seconds on a partial frame.) Sizes are
// checked from the frame header, before any payload is buffered. Main thread only.
class WebSocketConnection : public QObject
{
    Q_OBJECT
public:
    // Takes ownership of _pSocket; bytes already read past the upgrade request stay in it.
    WebSocketConnection(QTcpSocket* _pSocket, qint64 _nMaxMessageBytes, QObject* parent = nullptr);
    ~WebSocketConnection() override;

    // Messages (all frames together) above this are refused with close code 1009.
    void SetMaxMessageBytes(qint64 _nBytes);
    // Queues one text message (UTF-8); returns the payload size, 0 when the connection is closing.
    qint64 SendText(const QByteArray& _baUtf8);
    // Starts the closing handshake; the socket is dropped if the peer does not finish it.
    void Close(quint16 _nCode, const QByteArray& _baReason = QByteArray());
    // True when this end started the closing handshake (a refusal), not the peer.
    bool ClosedByUs() const { return m_blClosedByUs; }
    void Abort();

    bool IsOpen() const { return m_state == State::Open; }
    qint64 BytesToWrite() const;
    // The code of the close frame we sent (or received first); 0 when none was exchanged.
    quint16 CloseCode() const { return m_nCloseCode; }
    QString CloseReason() const { return m_qstrCloseReason; }
    QString PeerText() const { return m_qstrPeer; }
    // The name this connection logged in under; another connection may have taken it over since.
    QByteArray LoginName() const { return m_baLoginName; }
    void SetLoginName(const QByteArray& _baName) { m_baLoginName = _baName; }
    QString ErrorString() const;

signals:
    void SignTextMessage(const QByteArray& _baUtf8);
    void SignDisconnected();
    // A socket error other than the peer closing; the connection is being dropped.
    void SignSocketError(const QString& _qstrError);

private:
    enum class State { Open, Closing, Closed };

    void SlotReadyRead();
    void SlotSocketDisconnected();
    // Handles every complete frame received; stops at a partial one or on a failure.
    void ParseFrames();
    void Fail(quint16 _nCode, const QByteArray& _baReason);
    void SendClose(quint16 _nCode, const QByteArray& _baReason);
    void WriteFrame(quint8 _nOpcode, const QByteArray& _baPayload);

    QTcpSocket* m_pSocket;
    QTimer* m_pCloseTimer = nullptr;
    QString m_qstrPeer;
    QByteArray m_baLoginName;
    WebSocketFraming m_framing;
    State m_state = State::Open;
    quint16 m_nCloseCode = 0;
    QString m_qstrCloseReason;
    bool m_blDisconnectedEmitted = false;
    bool m_blParsing = false;
    bool m_blClosedByUs = false;
};
