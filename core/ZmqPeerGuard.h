#pragma once

#include "core/RefusalLog.h"

#include <QByteArray>

#include <functional>
#include <set>
#include <vector>

// Admits to the ZeroMQ socket only peers that run as this user. The loopback port is open to
// every user of the machine, and ZeroMQ itself authenticates nobody, so two of its hooks are used:
// - a socket monitor reports each accepted connection with its descriptor; the peer's owner is
//   looked up there, and a stranger's connection is shut down at once;
// - an authentication handler holds every handshake until the monitor's reports up to that
//   moment have been read, so no stranger's connection can finish its handshake (and claim a
//   routing identity) before it has been judged. Setting the handler also makes libzmq refuse the
//   legacy greeting-less framing, which an HTTP request could otherwise pass for.
// Used only by the thread that owns the guarded socket.
class ZmqPeerGuard
{
public:
    ZmqPeerGuard() = default;
    ~ZmqPeerGuard();
    ZmqPeerGuard(const ZmqPeerGuard&) = delete;
    ZmqPeerGuard& operator=(const ZmqPeerGuard&) = delete;

    // Call before the socket binds. _nPort is the TCP port it will listen on.
    bool Attach(void* _pContext, void* _pSocket, quint16 _nPort);
    void Close();

    // Sockets to poll for input; each one's input is handled by the matching call below.
    void* MonitorSocket() const { return m_pMonitor; }
    void* HandlerSocket() const { return m_pHandler; }
    void OnMonitorInput();
    void OnHandlerInput();

    // Told each descriptor of a connection that libzmq reports gone, before any later connection
    // that reuses the number is reported accepted.
    void SetClosedHandler(std::function<void(int _nFd)> _handler) { m_onClosed = std::move(_handler); }

    int RefusedCount() const { return m_nRefused; }
    // Logs the refusals still unlogged whose minute is over; call at the latest after
    // MsUntilSummary() (-1: no line waits).
    void Summarise();
    int MsUntilSummary() const;

private:
    struct Request
    {
        QByteArray route;
        QByteArray id;
    };
    void ReadMonitorEvents();
    void Judge(int _nFd);
    void AnswerHeldRequests();
    // One warning line per refused uid (-1: unknown) per minute, with the count since the last.
    void NoteRefusal(qint64 _nUid);

    void* m_pMonitor = nullptr;
    void* m_pHandler = nullptr;
    quint16 m_nPort = 0;
    // Descriptors of strangers' connections that libzmq has not yet reported closed.
    std::set<int> m_setStrangers;
    std::vector<Request> m_vecHeld;
    int m_nRefused = 0;
    std::function<void(int)> m_onClosed;
    RefusalLog m_refusals{QStringLiteral("refused since the last line: ")};
};
