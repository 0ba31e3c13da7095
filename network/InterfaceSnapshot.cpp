#include "network/InterfaceSnapshot.h"

#include <QNetworkInterface>

InterfaceSnapshot InterfaceSnapshot::Take()
{
    InterfaceSnapshot snapshot;
    for (const QNetworkInterface& item : QNetworkInterface::allInterfaces()) {
        Interface entry;
        const QNetworkInterface::InterfaceFlags flags = item.flags();
        entry.up = flags.testFlag(QNetworkInterface::IsUp);
        entry.running = flags.testFlag(QNetworkInterface::IsRunning);
        entry.loopback = flags.testFlag(QNetworkInterface::IsLoopBack);
        for (const QNetworkAddressEntry& address : item.addressEntries())
            entry.addresses.append(address.ip().toString());
        snapshot.Insert(item.name(), entry);
    }
    return snapshot;
}

void InterfaceSnapshot::Insert(const QString& _qstrName, const Interface& _interface)
{
    Interface entry = _interface;
    entry.addresses.sort();
    m_mapInterfaces.insert(_qstrName, entry);
}

bool InterfaceSnapshot::IsOnline() const
{
    for (const Interface& entry : m_mapInterfaces)
        if (!entry.loopback && entry.up && entry.running && !entry.addresses.isEmpty())
            return true;
    return false;
}

InterfaceSnapshot::Difference InterfaceSnapshot::Since(const InterfaceSnapshot& _older) const
{
    Difference difference;
    for (auto it = m_mapInterfaces.cbegin(); it != m_mapInterfaces.cend(); ++it) {
        const auto before = _older.m_mapInterfaces.constFind(it.key());
        if (before == _older.m_mapInterfaces.cend())
            difference.added.append(it.key());
        else if (*before != it.value())
            difference.changed.append(it.key());
    }
    for (auto it = _older.m_mapInterfaces.cbegin(); it != _older.m_mapInterfaces.cend(); ++it)
        if (!m_mapInterfaces.contains(it.key()))
            difference.removed.append(it.key());
    return difference;
}
