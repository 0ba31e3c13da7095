// The toast and the tips windows through their ability: what a body changes, the time-out of 0,
// and the bound on open tips windows (a click is tested on a real display).
#include "notices/AbilityCustomToastTool.h"
#include "core/MessageService.h"
#include "notices/CustomToast.h"
#include "notices/ServiceTips.h"
#include "resources/QorvResources.h"
#include "tests/support/HubCapture.h"

#include <QApplication>
#include <QtTest>

class tst_AbilityCustomToastTool : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { InitQorvResources(); }
    void warningImageIsCompiledIn();
    void bodyKeysCarryOver_data();
    void bodyKeysCarryOver();
    void timeRemainZeroClosesAtOnce();
    void atMost32TipsWindows();
};

namespace {

JsonCommand Toast(const QString& _qstrBody)
{
    return MakeRequest(QStringLiteral("command_custom_toast"), _qstrBody);
}

} // namespace

void tst_AbilityCustomToastTool::warningImageIsCompiledIn()
{
    QCOMPARE(QPixmap(QStringLiteral(":/images/warning.png")).size(), QSize(176, 154));
}

void tst_AbilityCustomToastTool::bodyKeysCarryOver_data()
{
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("interval");
    QTest::newRow("all keys") << R"({"message":"b","timeRemain":5000,"position":"top"})"
                              << "b" << 5000;
    QTest::newRow("fraction reads 0") << R"({"timeRemain":2.5})"
                                      << "a" << 0;
    QTest::newRow("string time ignored") << R"({"timeRemain":"5000"})"
                                         << "a" << 4000;
    QTest::newRow("negative time reads 0") << R"({"timeRemain":-1})"
                                           << "a" << 0;
    QTest::newRow("long message cut") << QStringLiteral(R"({"message":"%1"})").arg(QString(5000, 'a'))
                                      << QString(CustomToastBody::kMaxMessageChars, 'a') << 4000;
    QTest::newRow("not JSON") << "message"
                              << "a" << 4000;
}

void tst_AbilityCustomToastTool::bodyKeysCarryOver()
{
    QFETCH(QString, second);
    QFETCH(QString, message);
    QFETCH(int, interval);
    AbilityCustomToastTool ability(std::make_shared<ServiceTips>(MessageService::Instance()));
    QVERIFY(ability.DealCommand(Toast(R"({"message":"x"})")));
    QCOMPARE(ability.Toast()->TimerInterval(), CustomToastBody::kDefaultTimeRemainMs);
    QVERIFY(ability.DealCommand(Toast(R"({"message":"a","timeRemain":4000})")));
    QVERIFY(ability.DealCommand(Toast(second)));
    QCOMPARE(ability.Toast()->Body().message, message);
    QCOMPARE(ability.Toast()->TimerInterval(), interval);
}

void tst_AbilityCustomToastTool::timeRemainZeroClosesAtOnce()
{
    AbilityCustomToastTool ability(std::make_shared<ServiceTips>(MessageService::Instance()));
    QVERIFY(ability.DealCommand(Toast(R"({"message":"m","timeRemain":0})")));
    QVERIFY(ability.Toast()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!ability.Toast()->isVisible(), 5000);
    QVERIFY(!ability.Toast()->IsTimerActive());
}

void tst_AbilityCustomToastTool::atMost32TipsWindows()
{
    AbilityCustomToastTool ability(std::make_shared<ServiceTips>(MessageService::Instance()));
    const QString body = QStringLiteral(R"({"width":100,"height":50,"strong_stips":true})");
    for (int i = 0; i < 40; ++i)
        QVERIFY(ability.DealCommand(MakeRequest(QStringLiteral("command_show_tips_view"), body)));
    QCOMPARE(ability.TipsWindows().OpenCount(), 32);
    // Finished windows are deleted, not just hidden; no toast was asked for, so none was built.
    QTRY_COMPARE(QApplication::topLevelWidgets().size(), 32);
}

QTEST_MAIN(tst_AbilityCustomToastTool)
#include "tst_AbilityCustomToastTool.moc"
