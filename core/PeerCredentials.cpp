#include "core/PeerCredentials.h"

PeerCredentials::Owner PeerCredentials::CompareUsers(const QByteArray& _baOwn, const QByteArray& _baPeer)
{
    if (_baOwn.isEmpty() || _baPeer.isEmpty())
        return Owner::Unknown;
    // A SID has one binary form, so equal identities are equal bytes.
    return _baOwn == _baPeer ? Owner::SameUser : Owner::OtherUser;
}
