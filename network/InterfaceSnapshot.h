#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// The machine's network interfaces at one moment, and what changed since an earlier moment.
class InterfaceSnapshot
{
public:
    struct Interface
    {
        bool up = false;
        bool running = false;
        bool loopback = false;
        QStringList addresses; // sorted, so that order alone is no change

        bool operator==(const Interface& _other) const
        {
            return up == _other.up && running == _other.running && loopback == _other.loopback &&
                   addresses == _other.addresses;
        }
        bool operator!=(const Interface& _other) const { return !(*this == _other); }
    };

    struct Difference
    {
        QStringList added;
        QStringList removed;
        QStringList changed;
    };

    static InterfaceSnapshot Take();

    void Insert(const QString& _qstrName, const Interface& _interface);
    // Online: some interface other than loopback is up, running and has an address.
    bool IsOnline() const;
    // Interface names, each list in name order.
    Difference Since(const InterfaceSnapshot& _older) const;

private:
    QMap<QString, Interface> m_mapInterfaces;
};
