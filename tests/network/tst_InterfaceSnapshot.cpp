#include "network/InterfaceSnapshot.h"

#include <QtTest>

// How two looks at the interfaces become the monitor's events.
namespace {

// "name|flags|address,address;..." with flags U (up), R (running), L (loopback).
InterfaceSnapshot Parse(const QString& _qstrSpec)
{
    InterfaceSnapshot snapshot;
    for (const QString& item : _qstrSpec.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QStringList parts = item.split(QLatin1Char('|'));
        InterfaceSnapshot::Interface entry;
        entry.up = parts.value(1).contains(QLatin1Char('U'));
        entry.running = parts.value(1).contains(QLatin1Char('R'));
        entry.loopback = parts.value(1).contains(QLatin1Char('L'));
        entry.addresses = parts.value(2).split(QLatin1Char(','), Qt::SkipEmptyParts);
        snapshot.Insert(parts.value(0), entry);
    }
    return snapshot;
}

} // namespace

class tst_InterfaceSnapshot : public QObject
{
    Q_OBJECT

private slots:
    void difference_data();
    void difference();
};

void tst_InterfaceSnapshot::difference_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("added");
    QTest::addColumn<QString>("removed");
    QTest::addColumn<QString>("changed");
    QTest::addColumn<bool>("onlineBefore");
    QTest::addColumn<bool>("onlineAfter");
    const QString lo = QStringLiteral("lo|URL|127.0.0.1;");
    QTest::newRow("nothing changed, address order aside")
        << lo + "eth0|UR|10.0.0.2,fe80::1" << lo + "eth0|UR|fe80::1,10.0.0.2"
        << ""
        << ""
        << "" << true << true;
    QTest::newRow("cable out") << lo + "eth0|UR|10.0.0.2" << lo + "eth0|U|10.0.0.2"
                               << ""
                               << ""
                               << "eth0" << true << false;
    QTest::newRow("address lost") << lo + "eth0|UR|10.0.0.2" << lo + "eth0|UR|"
                                  << ""
                                  << ""
                                  << "eth0" << true << false;
    QTest::newRow("wifi joins") << lo + "eth0|U|" << lo + "eth0|U|;wlan0|UR|192.168.1.5"
                                << "wlan0"
                                << ""
                                << "" << false << true;
    QTest::newRow("vpn gone, ethernet stays")
        << lo + "eth0|UR|10.0.0.2;tun0|UR|10.8.0.1" << lo + "eth0|UR|10.0.0.2"
        << ""
        << "tun0"
        << "" << true << true;
    QTest::newRow("loopback alone is offline") << lo << lo + "docker0|UR|"
                                               << "docker0"
                                               << ""
                                               << "" << false << false;
}

void tst_InterfaceSnapshot::difference()
{
    QFETCH(QString, before);
    QFETCH(QString, after);
    QFETCH(QString, added);
    QFETCH(QString, removed);
    QFETCH(QString, changed);
    QFETCH(bool, onlineBefore);
    QFETCH(bool, onlineAfter);
    const InterfaceSnapshot older = Parse(before), newer = Parse(after);
    const InterfaceSnapshot::Difference difference = newer.Since(older);
    QCOMPARE(difference.added.join(QLatin1Char(',')), added);
    QCOMPARE(difference.removed.join(QLatin1Char(',')), removed);
    QCOMPARE(difference.changed.join(QLatin1Char(',')), changed);
    QCOMPARE(older.IsOnline(), onlineBefore);
    QCOMPARE(newer.IsOnline(), onlineAfter);
}

QTEST_GUILESS_MAIN(tst_InterfaceSnapshot)
#include "tst_InterfaceSnapshot.moc"
