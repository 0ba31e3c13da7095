#pragma once

#include <QHostAddress>

#include <optional>
#include <vector>

// The system's table of TCP connections as rows of plain values, and which row is the other end
// of a connection this process accepted. Where the system names a socket's owner only by process,
// this is how the process behind a loopback client is found.
namespace TcpConnectionTable {

struct Row
{
    QHostAddress localAddress;
    quint16 localPort = 0;
    QHostAddress remoteAddress;
    quint16 remotePort = 0;
    qint64 pid = 0;
};

// The process owning the socket whose own end is the connection's remote end (_peer:_nPeerPort)
// and whose remote end is our end (_local:_nLocalPort). An IPv4 address and its IPv6-mapped form
// are one address. Nothing when no such row names a process, or when rows name different ones.
std::optional<qint64> PeerPid(const std::vector<Row>& _vecRows, const QHostAddress& _peer, quint16 _nPeerPort,
                              const QHostAddress& _local, quint16 _nLocalPort);

} // namespace TcpConnectionTable
