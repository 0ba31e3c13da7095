#include "core/HandleTrust.h"

#include <QtEndian>

namespace HandleTrust {

namespace {

constexpr quint32 kTagMountPoint = 0xA0000003;
constexpr quint32 kTagSymlink = 0xA000000C;
constexpr quint32 kSymlinkRelative = 0x1;

quint16 Word(const QByteArray& _baData, int _nAt)
{
    return qFromLittleEndian<quint16>(_baData.constData() + _nAt);
}

QString OwnerText(const Facts& _facts)
{
    return _facts.ownerName.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(_facts.ownerName);
}

} // namespace

bool IsTrusted(Who _who)
{
    return _who != Who::Other;
}

quint32 OthersRights(bool _blHasDacl, const std::vector<Ace>& _vecAces)
{
    if (!_blHasDacl)
        return 0xFFFFFFFFu;
    quint32 rights = 0;
    // A denying entry is not subtracted: granted to a group, a right still reaches the members
    // the denial does not name, and erring towards refusal is the safe side.
    for (const Ace& ace : _vecAces)
        if (ace.allow && !ace.inheritOnly && !IsTrusted(ace.who))
            rights |= ace.mask;
    return rights;
}

QString ClientFolderRefusal(const Facts& _facts)
{
    if (!_facts.isFolder)
        return QStringLiteral("it is not a folder");
    if (!IsTrusted(_facts.owner))
        return QStringLiteral("it belongs to another user") + OwnerText(_facts);
    if (_facts.othersRights & Rights::kReplace)
        return QStringLiteral("other users may write into it");
    return QString();
}

QString LinkRefusal(const Facts& _facts)
{
    if (!IsTrusted(_facts.owner))
        return QStringLiteral("it is a link of another user") + OwnerText(_facts);
    return QString();
}

QString PrivateFolderRefusal(const Facts& _facts)
{
    if (_facts.isLink || !_facts.isFolder)
        return QStringLiteral("it is a link or no folder");
    if (_facts.owner != Who::User)
        return QStringLiteral("it belongs to another user");
    if (_facts.othersRights & Rights::kAnyWrite)
        return QStringLiteral("other users may write into it");
    return QString();
}

LinkTarget ParseReparseData(const QByteArray& _baData)
{
    LinkTarget target;
    if (_baData.size() < 16)
        return target;
    const quint32 tag = qFromLittleEndian<quint32>(_baData.constData());
    int names = 0;
    if (tag == kTagSymlink)
        names = 20;
    else if (tag == kTagMountPoint)
        names = 16;
    else
        return target;
    if (_baData.size() < names)
        return target;
    const int offset = Word(_baData, 8);
    const int length = Word(_baData, 10);
    if (length == 0 || length % 2 != 0 || names + offset + length > _baData.size())
        return target;
    QString path;
    path.resize(length / 2);
    for (int i = 0; i < path.size(); ++i)
        path[i] = QChar(Word(_baData, names + offset + 2 * i));
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    target.relative =
        tag == kTagSymlink && (qFromLittleEndian<quint32>(_baData.constData() + 16) & kSymlinkRelative);
    if (!target.relative) {
        if (!path.startsWith(QLatin1String("/?\?/")))
            return target;
        path = path.mid(4);
        if (path.startsWith(QLatin1String("UNC/"), Qt::CaseInsensitive))
            path = QStringLiteral("//") + path.mid(4);
        else if (path.startsWith(QLatin1String("Volume{"), Qt::CaseInsensitive))
            path = QStringLiteral("//?/") + path;
    }
    target.ok = !path.isEmpty();
    target.path = path;
    return target;
}

} // namespace HandleTrust
