#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

// The Linux kernel's TCP tables as text (<folder>/tcp and <folder>/tcp6, the folder being
// /proc/net): the user id owning the socket whose own end is _peer:_nPeerPort and whose remote
// end is _local:_nLocalPort. A scan of the text may miss rows while other sockets come and go.
namespace ProcNetTcp {

std::optional<uint> PeerUid(const QString& _qstrFolder, const QHostAddress& _peer, quint16 _nPeerPort,
                            const QHostAddress& _local, quint16 _nLocalPort);

} // namespace ProcNetTcp
