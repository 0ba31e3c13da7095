// The countdown through the hub, without sockets: what it shows each second, the one finish
// message and when it leaves, a restart, and counts that cannot count down.
#include "notices/AbilityCountDownTool.h"
#include "notices/CountDown.h"
#include "tests/support/HubCapture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QtTest>

class tst_AbilityCountDownTool : public QObject
{
    Q_OBJECT
private slots:
    void countsDownThenFinishesOnce();
    void newCountRestartsForTheNewRequester();
    void countBelowOneFinishesAtOnce_data();
    void countBelowOneFinishesAtOnce();
};

void tst_AbilityCountDownTool::countsDownThenFinishesOnce()
{
    HubCapture hub;
    AbilityCountDownTool ability;
    QVERIFY(!ability.DealCommand(MakeRequest(QStringLiteral("count_down"), "3", QStringLiteral("query"))));
    const JsonCommand request = MakeRequest(QStringLiteral("count_down"), QStringLiteral("3"));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(ability.DealCommand(request));
    QVERIFY(ability.Window().isVisible());
    QStringList shown{ability.Window().CountText()};
    for (const char* next : {"2", "1"}) {
        QTRY_COMPARE_WITH_TIMEOUT(ability.Window().CountText(), QString::fromLatin1(next), 5000);
        shown << ability.Window().CountText();
    }
    QCOMPARE(shown, (QStringList{"3", "2", "1"}));
    const auto finish = hub.WaitFor(request.guid, 10000);
    QVERIFY(finish);
    // Coarse timers may fire up to 5% early; a loaded machine makes them late, never earlier.
    QVERIFY2(clock.elapsed() >= 2800, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!ability.Window().isVisible());
    QCOMPARE(ability.Window().CountText(), QStringLiteral("0"));
    QCOMPARE(finish->client, request.from);
    QCOMPARE(finish->envelope.type, QStringLiteral("transfer"));
    QCOMPARE(finish->envelope.error_code, qint64(0));
    QTest::qWait(1500);
    QCOMPARE(hub.ForGuid(request.guid).size(), 1);
}

void tst_AbilityCountDownTool::newCountRestartsForTheNewRequester()
{
    HubCapture hub;
    AbilityCountDownTool ability;
    const JsonCommand first = MakeRequest(QStringLiteral("count_down"), QStringLiteral("5"));
    const JsonCommand second = MakeRequest(QStringLiteral("count_down"), QStringLiteral("10"));
    QVERIFY(ability.DealCommand(first));
    QTRY_COMPARE_WITH_TIMEOUT(ability.Window().CountText(), QStringLiteral("4"), 5000);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(ability.DealCommand(second));
    QCOMPARE(ability.Window().CountText(), QStringLiteral("10"));
    QVERIFY(hub.WaitFor(second.guid, 30000));
    QVERIFY2(clock.elapsed() >= 9500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(hub.ForGuid(first.guid).isEmpty());
}

void tst_AbilityCountDownTool::countBelowOneFinishesAtOnce_data()
{
    QTest::addColumn<QString>("data");
    QTest::newRow("zero") << "0";
    QTest::newRow("negative") << "-4";
    QTest::newRow("not a number") << "three";
    QTest::newRow("JSON object") << R"({"count":3})";
}

void tst_AbilityCountDownTool::countBelowOneFinishesAtOnce()
{
    QFETCH(QString, data);
    HubCapture hub;
    AbilityCountDownTool ability;
    const JsonCommand request = MakeRequest(QStringLiteral("count_down"), data);
    QVERIFY(ability.DealCommand(request));
    QCOMPARE(hub.ForGuid(request.guid).size(), 1);
    QVERIFY(!ability.Window().isVisible());
}

QTEST_MAIN(tst_AbilityCountDownTool)
#include "tst_AbilityCountDownTool.moc"
