// The developer window through the running service on a private Xvfb screen: shown only in
// debug mode, and its buttons drive the service as the client "testClient1".
#include "tests/support/ServiceHarness.h"
#include "tests/support/XvfbDisplay.h"

#include <QDir>
#include <QtTest>

class tst_DebugWindowE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void shownOnlyInDebugMode_data();
    void shownOnlyInDebugMode();

private:
    XvfbDisplay m_display;
};

void tst_DebugWindowE2E::initTestCase()
{
    QVERIFY2(m_display.start(QSize(1280, 800)), qPrintable(m_display.errorString()));
}

void tst_DebugWindowE2E::shownOnlyInDebugMode_data()
{
    QTest::addColumn<QString>("debugmode");
    QTest::addColumn<bool>("shown");
    QTest::newRow("debugmode 1") << "1" << true;
    QTest::newRow("debugmode 0") << "0" << false;
    QTest::newRow("debugmode 2") << "2" << false;
}

void tst_DebugWindowE2E::shownOnlyInDebugMode()
{
    QFETCH(QString, debugmode);
    QFETCH(bool, shown);
    ServiceProcess service({{QStringLiteral("debug/debugmode"), debugmode}});
    service.setDisplay(m_display.display());
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    if (!shown) {
        // The service answers requests, so start-up (window included) is over.
        WsTestClient client(QStringLiteral("debug_e2e"), service.wsPort());
        QVERIFY2(client.login(),
                 qPrintable(service.logText().right(3000) + service.consoleText().right(2000)));
        QVERIFY(m_display.waitForNoWindow(QStringLiteral("MainWindow"), 1000));
        return;
    }
    const qulonglong window = m_display.waitForWindow(QStringLiteral("MainWindow"), 20000);
    QVERIFY(window);
    // "snapfullscreen" is the second of five buttons sharing the top row.
    const QRect frame = m_display.windowGeometry(window);
    const QPoint button(frame.x() + frame.width() * 3 / 10, frame.y() + 50);
    bool ok = false;
    m_display.run(QStringLiteral("xdotool"),
                  {"mousemove", QString::number(button.x()), QString::number(button.y()), "click", "1"}, &ok);
    QVERIFY(ok);
    QVERIFY(service.waitForLog(QStringLiteral("strClient =  \"testClient1\""), 20000));
    const QDir folder(service.root() + QStringLiteral("/tmp/snap_screen_tool"));
    QTRY_VERIFY_WITH_TIMEOUT(!folder.entryList({QStringLiteral("*.png")}, QDir::Files).isEmpty(), 20000);
}

QTEST_GUILESS_MAIN(tst_DebugWindowE2E)
#include "tst_DebugWindowE2E.moc"
