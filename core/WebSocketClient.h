#pragma once

#include "core/WebSocketFraming.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class QTcpSocket;

// The client end of a WebSocket connection to the service on the loopback interface, framed by
// the same code as the service's end. Everything happens as bytes arrive: nothing here waits.
// Main thread only.
class WebSocketClient : public QObject
{
    Q_OBJECT
public:
    enum class State { Closed, Connecting, Open, Closing };

    explicit WebSocketClient(qint64 _nMaxMessageBytes = kDefaultMaxMessageBytes, QObject* parent = nullptr);
    ~WebSocketClient() override;

    // Connects to 127.0.0.1:_nPort and asks for the upgrade, with an Origin header when
    // _baOrigin is not empty (as a browser sends). SignConnected follows once the answer is
    // checked; otherwise SignError, then SignDisconnected. Ignored unless Closed.
    void Open(quint16 _nPort, const QByteArray& _baOrigin = QByteArray());
    // Queues one text message (UTF-8); returns the payload size, 0 unless open.
    qint64 SendText(const QByteArray& _baUtf8);
    // Starts the closing handshake; the socket is dropped if the service does not finish it.
    void Close(quint16 _nCode = WebSocketFraming::kCloseNormal, const QByteArray& _baReason = QByteArray());
    void Abort();

    State GetState() const { return m_state; }
    bool IsOpen() const { return m_state == State::Open; }
    qint64 BytesToWrite() const;
    // The code of the close frame sent or received first; 0 when none was exchanged.
    quint16 CloseCode() const { return m_nCloseCode; }
    QString CloseReason() const { return m_qstrCloseReason; }
    // Why the connection failed or was refused; empty when it did not.
    QString ErrorString() const { return m_qstrError; }

    // Messages above this (all frames together) are refused with close code 1009.
    static constexpr qint64 kDefaultMaxMessageBytes = 256LL * 1024 * 1024;
    static constexpr int kMaxResponseHeadBytes = 16 * 1024;
    // Bounds on the connection and upgrade, and on the closing handshake.
    static constexpr int kHandshakeTimeoutMs = 10000;
    static constexpr int kCloseGraceMs = 2000;

signals:
    void SignConnected();
    void SignTextMessage(const QByteArray& _baUtf8);
    // The connection failed, was refused or broke the protocol; SignDisconnected follows.
    void SignError(const QString& _qstrError);
    // Once per Open, whatever ended it.
    void SignDisconnected();

private:
    void SlotSocketConnected();
    void SlotReadyRead();
    void SlotSocketDisconnected();
    void ReadFrames();
    void SendClose(quint16 _nCode, const QByteArray& _baReason);
    // Reports _qstrError and drops the socket.
    void Drop(const QString& _qstrError);
    // Keeps and reports the first error of a connection only.
    void SetError(const QString& _qstrError);
    void Finish();

    QTcpSocket* m_pSocket;
    QTimer m_timerBound; // the handshake's deadline, then the closing handshake's
    WebSocketFraming m_framing;
    qint64 m_nMaxMessageBytes;
    State m_state = State::Closed;
    quint16 m_nPort = 0;
    QByteArray m_baOrigin;
    QByteArray m_baKey;
    QByteArray m_baResponse; // the answer's head as it arrives
    quint16 m_nCloseCode = 0;
    QString m_qstrCloseReason;
    QString m_qstrError;
    bool m_blParsing = false;
    quint64 m_nGeneration = 0; // counts Open calls, so a deferred abort hits only its own connection
};
