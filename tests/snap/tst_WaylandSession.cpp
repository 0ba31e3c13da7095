// Which sessions count as Wayland, and the Qt platform the service forces in them.
#include "snap/WaylandSession.h"

#include <QtTest>

class tst_WaylandSession : public QObject
{
    Q_OBJECT
private slots:
    void platform_data();
    void platform();
};

void tst_WaylandSession::platform_data()
{
    QTest::addColumn<QStringList>("variables"); // NAME=value
    QTest::addColumn<bool>("wayland");
    QTest::addColumn<QByteArray>("forced");
    QTest::newRow("X11") << QStringList{"DISPLAY=:0", "XDG_SESSION_TYPE=x11"} << false << QByteArray();
    QTest::newRow("Wayland with XWayland")
        << QStringList{"WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0"} << true << QByteArray("xcb");
    QTest::newRow("session type alone")
        << QStringList{"XDG_SESSION_TYPE=wayland", "DISPLAY=:1"} << true << QByteArray("xcb");
    QTest::newRow("user's platform kept")
        << QStringList{"WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0", "QT_QPA_PLATFORM=wayland"} << true
        << QByteArray();
    QTest::newRow("no XWayland") << QStringList{"WAYLAND_DISPLAY=wayland-0"} << true << QByteArray();
    QTest::newRow("empty values count as unset")
        << QStringList{"WAYLAND_DISPLAY=", "DISPLAY=:0"} << false << QByteArray();
}

void tst_WaylandSession::platform()
{
    QFETCH(QStringList, variables);
    QFETCH(bool, wayland);
    QFETCH(QByteArray, forced);
    QProcessEnvironment env;
    for (const QString& variable : variables)
        env.insert(variable.section(QLatin1Char('='), 0, 0), variable.section(QLatin1Char('='), 1));
    QCOMPARE(WaylandSession::IsActive(env), wayland);
    QCOMPARE(WaylandSession::PlatformToForce(env), forced);
}

QTEST_APPLESS_MAIN(tst_WaylandSession)
#include "tst_WaylandSession.moc"
