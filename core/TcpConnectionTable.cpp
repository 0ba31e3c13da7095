#include "core/TcpConnectionTable.h"

namespace TcpConnectionTable {

namespace {

bool SameAddress(const QHostAddress& _a, const QHostAddress& _b)
{
    // Only the mapped form is folded: ::1 and 127.0.0.1 are different sockets' addresses.
    return _a.isEqual(_b, QHostAddress::ConvertV4MappedToIPv4);
}

} // namespace

std::optional<qint64> PeerPid(const std::vector<Row>& _vecRows, const QHostAddress& _peer, quint16 _nPeerPort,
                              const QHostAddress& _local, quint16 _nLocalPort)
{
    std::optional<qint64> found;
    for (const Row& row : _vecRows) {
        // Our own socket's row is the mirror of this one and must never be taken for the peer's.
        if (row.pid <= 0 || row.localPort != _nPeerPort || row.remotePort != _nLocalPort ||
            !SameAddress(row.localAddress, _peer) || !SameAddress(row.remoteAddress, _local))
            continue;
        if (found && *found != row.pid)
            return std::nullopt;
        found = row.pid;
    }
    return found;
}

} // namespace TcpConnectionTable
