// Stands in for asking Windows which user owns a loopback TCP peer: asks the kernel's socket
// diagnostics (sock_diag, as ss does) for the peer's socket, whose local end is our remote end,
// and compares its owner with this process's real user id. /proc/net/tcp{,6} is read only when
// sock_diag is not available: a scan of it skips rows while other sockets come and go.
#include "core/PeerCredentials.h"
#include "core/ProcNetTcp.h"

#include <QByteArray>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>
#include <optional>

namespace {

// The address as the kernel stores it (network order), as IPv4 or as IPv6 (IPv4 mapped).
QByteArray KernelBytes(const QHostAddress& _address, bool _blSix)
{
    bool isV4 = false;
    const quint32 v4 = _address.toIPv4Address(&isV4);
    if (!_blSix) {
        if (!isV4)
            return QByteArray();
        const quint32 network = htonl(v4);
        return QByteArray(reinterpret_cast<const char*>(&network), 4);
    }
    const Q_IPV6ADDR v6 =
        isV4 ? QHostAddress(QStringLiteral("::ffff:") + QHostAddress(v4).toString()).toIPv6Address()
             : _address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char*>(v6.c), 16);
}

enum class Diag { Found, Missing, Unavailable };

// One exact lookup of the TCP socket whose own end is _baSrc:_nSrcPort and whose remote end is
// _baDst:_nDstPort.
Diag DiagUid(bool _blSix, const QByteArray& _baSrc, quint16 _nSrcPort, const QByteArray& _baDst,
             quint16 _nDstPort, uint& _nUid)
{
    if (_baSrc.isEmpty() || _baDst.isEmpty())
        return Diag::Missing;
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return Diag::Unavailable;
    const timeval bound{1, 0}; // the kernel answers at once; never hang the caller on it
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    struct
    {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = _blSix ? AF_INET6 : AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = htons(_nSrcPort);
    message.request.id.idiag_dport = htons(_nDstPort);
    std::memcpy(message.request.id.idiag_src, _baSrc.constData(), static_cast<size_t>(_baSrc.size()));
    std::memcpy(message.request.id.idiag_dst, _baDst.constData(), static_cast<size_t>(_baDst.size()));
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    alignas(nlmsghdr) char buffer[8192];
    ssize_t got = -1;
    if (sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof message))
        got = recv(fd, buffer, sizeof buffer, 0);
    close(fd);
    const auto* reply = reinterpret_cast<const nlmsghdr*>(buffer);
    if (got < 0 || !NLMSG_OK(reply, static_cast<unsigned>(got)))
        return Diag::Unavailable;
    if (reply->nlmsg_type == NLMSG_ERROR) {
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(reply));
        return error->error == -ENOENT ? Diag::Missing : Diag::Unavailable;
    }
    if (reply->nlmsg_type != SOCK_DIAG_BY_FAMILY || reply->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return Diag::Unavailable;
    _nUid = static_cast<const inet_diag_msg*>(NLMSG_DATA(reply))->idiag_uid;
    return Diag::Found;
}

// The uid from sock_diag, IPv4 first; the /proc tables when sock_diag cannot answer.
std::optional<uint> PeerUid(const QHostAddress& _peer, quint16 _nPeerPort, const QHostAddress& _local,
                            quint16 _nLocalPort)
{
    bool unavailable = false;
    for (const bool six : {false, true}) {
        uint uid = 0;
        const Diag diag =
            DiagUid(six, KernelBytes(_peer, six), _nPeerPort, KernelBytes(_local, six), _nLocalPort, uid);
        if (diag == Diag::Found)
            return uid;
        unavailable = unavailable || diag == Diag::Unavailable;
    }
    if (!unavailable)
        return std::nullopt;
    return ProcNetTcp::PeerUid(QStringLiteral("/proc/net"), _peer, _nPeerPort, _local, _nLocalPort);
}

} // namespace

PeerCredentials::Owner PeerCredentials::LoopbackPeerOwner(const QHostAddress& _peer, quint16 _nPeerPort,
                                                          const QHostAddress& _local, quint16 _nLocalPort,
                                                          uint* _pUid)
{
    const std::optional<uint> uid = PeerUid(_peer, _nPeerPort, _local, _nLocalPort);
    if (!uid)
        return Owner::Unknown;
    if (_pUid)
        *_pUid = *uid;
    return *uid == static_cast<uint>(getuid()) ? Owner::SameUser : Owner::OtherUser;
}

namespace {

// The address and port of one end of a TCP socket; false when it is not an IP socket.
bool SocketEnd(qintptr _nFd, bool _blPeer, QHostAddress& _address, quint16& _nPort)
{
    sockaddr_storage storage{};
    socklen_t size = sizeof storage;
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    const int rc = _blPeer ? getpeername(static_cast<int>(_nFd), address, &size)
                           : getsockname(static_cast<int>(_nFd), address, &size);
    if (rc != 0 || (storage.ss_family != AF_INET && storage.ss_family != AF_INET6))
        return false;
    _address.setAddress(address);
    _nPort = storage.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port)
                                          : ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
    return true;
}

} // namespace

std::optional<PeerCredentials::Owner> PeerCredentials::AcceptedSocketOwner(qintptr _nFd, quint16 _nLocalPort,
                                                                           uint* _pUid)
{
    QHostAddress local;
    quint16 localPort = 0;
    if (!SocketEnd(_nFd, false, local, localPort) || localPort != _nLocalPort)
        return std::nullopt;
    QHostAddress peer;
    quint16 peerPort = 0;
    if (!SocketEnd(_nFd, true, peer, peerPort))
        return Owner::Unknown;
    return LoopbackPeerOwner(peer, peerPort, local, localPort, _pUid);
}

void PeerCredentials::ShutDownSocket(qintptr _nFd)
{
    shutdown(static_cast<int>(_nFd), SHUT_RDWR);
}
