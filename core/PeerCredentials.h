#pragma once

#include <QByteArray>
#include <QHostAddress>

#include <optional>

// Who owns the other end of a loopback TCP connection. Loopback ports are shared by every user
// of the machine, so a transport asks this before it trusts a connection.
class PeerCredentials
{
public:
    enum class Owner { SameUser, OtherUser, Unknown };

    // _peer/_nPeerPort: the connection's remote end as the server sees it; _local/_nLocalPort:
    // the server's end. *_pUid receives the owner's user id when it is known.
    static Owner LoopbackPeerOwner(const QHostAddress& _peer, quint16 _nPeerPort, const QHostAddress& _local,
                                   quint16 _nLocalPort, uint* _pUid = nullptr);

    // The owner of the peer of a TCP socket accepted on _nLocalPort, found from its descriptor.
    // Nothing when the descriptor is not (or no longer) such a socket, so a caller never acts
    // on a descriptor that was closed and reused for something else.
    static std::optional<Owner> AcceptedSocketOwner(qintptr _nFd, quint16 _nLocalPort, uint* _pUid = nullptr);
    // Ends both directions of a socket without closing its descriptor, which its owner still holds.
    static void ShutDownSocket(qintptr _nFd);

    // The decision where users are known by opaque identities (a Windows SID's bytes): empty
    // means the identity could not be read, and such a peer is nobody to vouch for.
    static Owner CompareUsers(const QByteArray& _baOwn, const QByteArray& _baPeer);
};
