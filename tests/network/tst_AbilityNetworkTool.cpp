#include "core/Config.h"
#include "core/MessageService.h"
#include "network/AbilityNetworkTool.h"
#include "network/NetworkManager.h"
#include "notices/ServiceTips.h"
#include "notices/ViewTips.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/HubCapture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

// The monitor's events turned into the network-status tips: the "command_show_tips_view"
// envelope the service sends itself, and the replacement of the tips already on screen. And the
// clients' shares of the requests: one flooding with silent addresses holds up no other.
class tst_AbilityNetworkTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void statusTips_data();
    void statusTips();
    void newStatusReplacesShownTips();
    void shippedStyleSheet();
    void floodingClientHoldsUpNoOther();
    void pendingCommandsAreBounded_data();
    void pendingCommandsAreBounded();
    void sameGuidWhileRunningIsRefused();

private:
    int TipsCount() { return m_pHub->To(QStringLiteral("tips_owner")).size(); }
    JsonCommand LastTips() { return m_pHub->To(QStringLiteral("tips_owner")).last().envelope; }

    HttpTestServer m_server;
    std::shared_ptr<ServiceTips> m_pTips = std::make_shared<ServiceTips>(MessageService::Instance());
    std::unique_ptr<AbilityNetworkTool> m_pAbility;
    std::unique_ptr<HubCapture> m_pHub;
};

void tst_AbilityNetworkTool::initTestCase()
{
    m_pAbility = std::make_unique<AbilityNetworkTool>(m_pTips);
    // A client offering the tips command receives what the service asks of itself.
    MessageService::Instance().OnMessageReceived(
        "tips_owner",
        R"({"type":"notify","command":"command_login","data":"{\"abilities\":[\"command_show_tips_view\"]}"})");
    m_pHub = std::make_unique<HubCapture>();
}

void tst_AbilityNetworkTool::statusTips_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<QString>("probePath");
    QTest::addColumn<bool>("isOn");
    QTest::addColumn<int>("probes");
    QTest::newRow("went offline: no probe") << "offline"
                                            << "/ok" << false << 0;
    QTest::newRow("changed, probe 200") << "changed"
                                        << "/ok" << true << 1;
    QTest::newRow("added, probe 404") << "added"
                                      << "/status/404" << false << 1;
    QTest::newRow("removed, probe silent") << "removed"
                                           << "/hang" << false << 1;
    QTest::newRow("changed, no probe address") << "changed"
                                               << "" << false << 0;
}

void tst_AbilityNetworkTool::statusTips()
{
    QFETCH(QString, event);
    QFETCH(QString, probePath);
    QFETCH(bool, isOn);
    QFETCH(int, probes);
    NetworkManager& monitor = NetworkManager::Instance();
    monitor.Init(probePath.isEmpty() ? QString() : m_server.Url(probePath), 2);
    const int before = TipsCount(), hitsBefore = m_server.Hits(probePath);
    QSignalSpy status(&monitor, &NetworkManager::SignNetworkStatusChange);
    if (event == QLatin1String("offline"))
        monitor.OnlineStateChanged(false);
    else if (event == QLatin1String("changed"))
        monitor.ConfigurationChanged(QStringLiteral("eth0"));
    else if (event == QLatin1String("added"))
        monitor.ConfigurationAdded(QStringLiteral("wlan0"));
    else
        monitor.ConfigurationRemoved(QStringLiteral("tun0"));
    QTRY_COMPARE_WITH_TIMEOUT(TipsCount(), before + 1, 15000);
    QCOMPARE(status.size(), 1);
    QCOMPARE(m_server.Hits(probePath) - hitsBefore, probes);

    const JsonCommand tips = LastTips();
    QCOMPARE(tips.type + ' ' + tips.command + ' ' + tips.from + ' ' + tips.to.join(','),
             QStringLiteral("command command_show_tips_view message_service message_service"));
    QVERIFY(!QUuid::fromString(tips.guid).isNull());
    const QJsonObject view = QJsonDocument::fromJson(tips.data.toUtf8()).object();
    const QJsonObject text = view.value("main_tips_data").toObject();
    QCOMPARE(view.value("logo_data").toObject().value("obj_name").toString(),
             isOn ? QStringLiteral("lblLogoNetworkNoErrorImage")
                  : QStringLiteral("lblLogoNetworkErrorImage"));
    QCOMPARE(text.value("show_name").toString(),
             isOn ? QStringLiteral("当前网络正常!") : QStringLiteral("当前网络异常, 请检查网络连接!"));
    QCOMPARE(text.value("width").toInt(), isOn ? 90 : 190);
    QCOMPARE(view.value("width").toInt() * 1000 + view.value("height").toInt(), 258084);
    QCOMPARE(view.value("show_time").toInt(), 5);
    const QString sheet = view.value("view_tips_qss_path").toString();
    QVERIFY2(sheet.endsWith("/qss/network_error_tips.qss"), qPrintable(sheet));
    QCOMPARE(view.value("view_tips_image_path").toString(), sheet.section('/', 0, -3) + "/image");
}

void tst_AbilityNetworkTool::newStatusReplacesShownTips()
{
    // The window the previous status opened, and a client's own tips window that happens to use
    // the same logo: only the former is the monitor's to close.
    NetworkManager::Instance().OnlineStateChanged(true);
    int before = TipsCount();
    NetworkManager::Instance().OnlineStateChanged(false);
    QTRY_COMPARE(TipsCount(), before + 1);
    ViewTips previous, clients;
    QVERIFY(m_pTips->IsWanted(LastTips()));
    m_pTips->Attach(LastTips(), &previous);
    JsonCommand clientCommand = LastTips();
    clientCommand.from = QStringLiteral("some_client");
    (new QLabel(&clients))->setObjectName(QStringLiteral("lblLogoNetworkErrorImage"));
    m_pTips->Attach(clientCommand, &clients);
    previous.show();
    clients.show();

    // Coming online again is no news: nothing is tested and nothing shown.
    before = TipsCount();
    const int hits = m_server.TotalHits();
    NetworkManager::Instance().OnlineStateChanged(true);
    NetworkManager::Instance().OnlineStateChanged(false);
    QTRY_COMPARE(TipsCount(), before + 1);
    QCOMPARE(m_server.TotalHits(), hits);
    QVERIFY(!previous.isVisible());
    QVERIFY(clients.isVisible());
}

void tst_AbilityNetworkTool::shippedStyleSheet()
{
    // The sheet the tips load names the four objects, and every image it names is shipped.
    const QString data = qEnvironmentVariable("QORV_SOURCE_DIR") + QStringLiteral("/data/qss");
    QFile sheet(data + QStringLiteral("/qss/network_error_tips.qss"));
    QVERIFY(sheet.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(sheet.readAll());
    for (const char* name :
         {"#viewTips", "#lblLogoNetworkNoErrorImage", "#lblLogoNetworkErrorImage", "#lblMainTips"})
        QVERIFY2(text.contains(QLatin1String(name)), name);
    auto images = QRegularExpression(QStringLiteral("url\\(%path%/([^)]+)\\)")).globalMatch(text);
    int count = 0;
    for (; images.hasNext(); ++count)
        QVERIFY(!QImage(data + QStringLiteral("/image/") + images.next().captured(1)).isNull());
    QCOMPARE(count, 2);
}

void tst_AbilityNetworkTool::floodingClientHoldsUpNoOther()
{
    // More commands than may run in all, each naming three silent addresses: were they not held
    // to their client's share, the other client's command would wait three probe bounds for one
    // of them to end.
    constexpr int kBoundSeconds = 3;
    AbilityNetworkTool ability(m_pTips);
    NetworkManager::Instance().Init(m_server.Url("/ok"), kBoundSeconds);
    const QStringList targets = {"/hang?n=0", "/hang?n=1", "/hang?n=2"};
    QStringList silent;
    for (const QString& target : targets)
        silent.append(m_server.Url(target));
    auto body = [](const QStringList& _listUrls) {
        QStringList elements;
        for (const QString& url : _listUrls)
            elements.append(QStringLiteral(R"({"result":0,"url":"%1"})").arg(url));
        return QLatin1Char('[') + elements.join(QLatin1Char(',')) + QLatin1Char(']');
    };
    QStringList flood;
    for (int i = 0; i < AbilityNetworkTool::kMaxRunningProbes + 2; ++i) {
        JsonCommand request = MakeRequest(QStringLiteral("get_interface"), body(silent));
        request.from = QStringLiteral("flooder");
        QVERIFY(ability.DealCommand(request));
        flood.append(request.guid);
    }
    auto silentHits = [&] {
        int hits = 0;
        for (const QString& target : targets)
            hits += m_server.Hits(target);
        return hits;
    };
    QTRY_VERIFY_WITH_TIMEOUT(silentHits() >= AbilityNetworkTool::kMaxProbesPerClient, 10000);

    JsonCommand request = MakeRequest(QStringLiteral("get_interface"),
                                      body({m_server.Url("/ok"), m_server.Url("/status/500")}));
    request.from = QStringLiteral("victim");
    QElapsedTimer timer;
    timer.start();
    QVERIFY(ability.DealCommand(request));
    const auto answer = m_pHub->WaitFor(request.guid, kBoundSeconds * 1000);
    QVERIFY2(answer, qPrintable(QStringLiteral("no answer after %1 ms").arg(timer.elapsed())));
    QVERIFY2(timer.elapsed() < kBoundSeconds * 1000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(answer->client, QStringLiteral("victim"));
    QCOMPARE(answer->envelope.command, QStringLiteral("get_interface_ret"));
    QCOMPARE(answer->envelope.data, QStringLiteral(R"([{"result":0,"url":"%1"},{"result":2,"url":"%2"}])")
                                        .arg(m_server.Url("/ok"), m_server.Url("/status/500")));
    // The flood was still being tested meanwhile: none of its commands could have been answered.
    for (const QString& guid : flood)
        QVERIFY(m_pHub->ForGuid(guid).isEmpty());
}

void tst_AbilityNetworkTool::pendingCommandsAreBounded_data()
{
    QTest::addColumn<int>("clients");
    QTest::newRow("one client's bound") << 1;
    QTest::newRow("the bound of all clients")
        << AbilityNetworkTool::kMaxPending / AbilityNetworkTool::kMaxPendingPerClient;
}

void tst_AbilityNetworkTool::pendingCommandsAreBounded()
{
    // Commands are accepted up to the bounds and refused past them (answered -4 at once), and
    // the places come back as the commands are answered.
    QFETCH(int, clients);
    AbilityNetworkTool ability(m_pTips);
    auto send = [&](const QString& _qstrFrom) {
        JsonCommand request = MakeRequest(QStringLiteral("public_network"), QStringLiteral("[]"));
        request.from = _qstrFrom;
        return ability.DealCommand(request) ? request.guid : QString();
    };
    // Accepted ones are answered under "public_network_ret" with 0.
    auto refused = [&](const QString& _qstrGuid) {
        const auto answer = m_pHub->WaitFor(_qstrGuid, 10000);
        return answer && answer->envelope.command == QLatin1String("public_network") &&
               answer->envelope.error_code == Envelope::kAbilityNotDealt;
    };
    const QString first = QStringLiteral("client0");
    for (int c = 0; c < clients; ++c)
        for (int i = 0; i < AbilityNetworkTool::kMaxPendingPerClient; ++i)
            QVERIFY(!send(QStringLiteral("client%1").arg(c)).isEmpty());
    const QString overFirst = send(first);
    const QString overOther = send(QStringLiteral("other"));
    QVERIFY(refused(overFirst));
    QCOMPARE(refused(overOther), clients != 1);

    QCOMPARE(m_pHub->TakeAtLeast(first, AbilityNetworkTool::kMaxPendingPerClient + 1, 10000).size(),
             AbilityNetworkTool::kMaxPendingPerClient + 1);
    QVERIFY(!refused(send(first)));
    m_pHub->Take(first);
}

void tst_AbilityNetworkTool::sameGuidWhileRunningIsRefused()
{
    // A running command is named by its guid: another under the same guid is answered -4 at
    // once, and the first still gets its answer.
    AbilityNetworkTool ability(m_pTips);
    NetworkManager::Instance().Init(m_server.Url("/ok"), 5);
    const QString body = QStringLiteral(R"([{"result":0,"url":"%1"}])").arg(m_server.Url("/ok"));
    const JsonCommand first = MakeRequest(QStringLiteral("get_interface"), body);
    JsonCommand again = MakeRequest(QStringLiteral("post_interface"), body);
    again.guid = first.guid;
    QVERIFY(ability.DealCommand(first));
    QVERIFY(ability.DealCommand(again));
    QVERIFY(QTest::qWaitFor([&] { return m_pHub->ForGuid(first.guid).size() == 2; }, 10000));
    QStringList answers;
    for (const Delivery& answer : m_pHub->ForGuid(first.guid))
        answers.append(answer.envelope.command + QLatin1Char(' ') +
                       QString::number(answer.envelope.error_code));
    QCOMPARE(answers, (QStringList{"post_interface -4", "get_interface_ret 0"}));
}

QTEST_MAIN(tst_AbilityNetworkTool)
#include "tst_AbilityNetworkTool.moc"
