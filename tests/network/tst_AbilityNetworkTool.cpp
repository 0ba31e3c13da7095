#include "core/Config.h"
#include "core/MessageService.h"
#include "network/AbilityNetworkTool.h"
#include "network/NetworkManager.h"
#include "tests/network/ProbeServer.h"

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <mutex>

// The monitor's events turned into the network-status tips: the "command_show_tips_view"
// envelope the service sends itself, and the replacement of the tips already on screen.
class tst_AbilityNetworkTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void statusTips_data();
    void statusTips();
    void onlineAgainShowsNothing();
    void newStatusReplacesShownTips();
    void refusesOtherTypes();
    void shippedStyleSheet();

private:
    QList<JsonCommand> TipsRequests();

    QTemporaryDir m_dir;
    ProbeServer m_server;
    std::unique_ptr<AbilityNetworkTool> m_pAbility;
    std::mutex m_mutex;
    QList<JsonCommand> m_listDelivered;
};

void tst_AbilityNetworkTool::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QFile ini(m_dir.filePath(QStringLiteral("config.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[network]\npublicNetworkUrl=" + m_server.Url("/ok").toUtf8() + "\nprobeTimeoutSeconds=3\n");
    ini.close();
    Config::Instance().Load(ini.fileName());
    QCOMPARE(Config::Instance().GetProbeTimeoutSeconds(), 3);
    m_pAbility = std::make_unique<AbilityNetworkTool>();
    // A client that offers the tips command receives what the service asks of itself.
    MessageService::Instance().OnMessageReceived(
        "tips_owner",
        R"({"type":"notify","command":"command_login","data":"{\"abilities\":[\"command_show_tips_view\"]}"})");
    MessageService::Instance().SetObserver([this](const QString& _qstrName, const JsonCommand& _envelope) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (_qstrName == QLatin1String("tips_owner"))
            m_listDelivered.append(_envelope);
    });
}

void tst_AbilityNetworkTool::cleanupTestCase()
{
    MessageService::Instance().SetObserver(nullptr);
}

QList<JsonCommand> tst_AbilityNetworkTool::TipsRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_listDelivered;
}

void tst_AbilityNetworkTool::statusTips_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<QString>("probePath");
    QTest::addColumn<bool>("isOn");
    QTest::addColumn<int>("probes");
    QTest::newRow("went offline: no probe") << "offline"
                                            << "/ok" << false << 0;
    QTest::newRow("configuration changed, probe 200") << "changed"
                                                      << "/ok" << true << 1;
    QTest::newRow("configuration added, probe 404") << "added"
                                                    << "/status/404" << false << 1;
    QTest::newRow("configuration removed, probe silent") << "removed"
                                                         << "/hang" << false << 1;
}

void tst_AbilityNetworkTool::statusTips()
{
    QFETCH(QString, event);
    QFETCH(QString, probePath);
    QFETCH(bool, isOn);
    QFETCH(int, probes);
    NetworkManager& monitor = NetworkManager::Instance();
    monitor.Init(m_server.Url(probePath), 3);
    const int before = TipsRequests().size();
    const int hitsBefore = m_server.Hits(probePath);
    QSignalSpy status(&monitor, &NetworkManager::SignNetworkStatusChange);
    if (event == QLatin1String("offline"))
        monitor.OnlineStateChanged(false);
    else if (event == QLatin1String("changed"))
        monitor.ConfigurationChanged(QStringLiteral("eth0"));
    else if (event == QLatin1String("added"))
        monitor.ConfigurationAdded(QStringLiteral("wlan0"));
    else
        monitor.ConfigurationRemoved(QStringLiteral("tun0"));
    QTRY_COMPARE_WITH_TIMEOUT(TipsRequests().size(), before + 1, 15000);
    QCOMPARE(status.size(), 1);
    QCOMPARE(m_server.Hits(probePath) - hitsBefore, probes);

    const JsonCommand tips = TipsRequests().last();
    QCOMPARE(tips.type, QStringLiteral("command"));
    QCOMPARE(tips.command, QStringLiteral("command_show_tips_view"));
    QCOMPARE(tips.from, QStringLiteral("message_service"));
    QCOMPARE(tips.to, QStringList{QStringLiteral("message_service")});
    QVERIFY(!tips.iscast);
    QVERIFY(QRegularExpression(QStringLiteral("^\\{[0-9a-f-]{36}\\}$")).match(tips.guid).hasMatch());
    const QJsonObject view = QJsonDocument::fromJson(tips.data.toUtf8()).object();
    const QJsonObject logo = view.value("logo_data").toObject();
    const QJsonObject text = view.value("main_tips_data").toObject();
    QCOMPARE(view.value("width").toInt(), 258);
    QCOMPARE(view.value("height").toInt(), 84);
    QCOMPARE(view.value("show_time").toInt(), 5);
    QCOMPARE(view.value("logo_show").toBool(), true);
    QCOMPARE(view.value("main_tips").toBool(), true);
    QCOMPARE(view.value("strong_stips").toBool(), false);
    QCOMPARE(view.value("view_data").toObject().value("obj_name").toString(), QStringLiteral("viewTips"));
    QCOMPARE(view.value("view_data").toObject().value("border_radius").toInt(), 12);
    QCOMPARE(logo.value("obj_name").toString(), isOn ? QStringLiteral("lblLogoNetworkNoErrorImage")
                                                     : QStringLiteral("lblLogoNetworkErrorImage"));
    QCOMPARE(logo.value("width").toInt(), 40);
    QCOMPARE(logo.value("margin_top").toInt(), 8);
    QCOMPARE(text.value("obj_name").toString(), QStringLiteral("lblMainTips"));
    QCOMPARE(text.value("show_name").toString(),
             isOn ? QStringLiteral("当前网络正常!") : QStringLiteral("当前网络异常, 请检查网络连接!"));
    QCOMPARE(text.value("width").toInt(), isOn ? 90 : 190);
    QCOMPARE(text.value("font_size").toInt(), 14);
    const QString appDir = QCoreApplication::applicationDirPath();
    QCOMPARE(view.value("view_tips_qss_path").toString(), appDir + "/qss/qss/network_error_tips.qss");
    QCOMPARE(view.value("view_tips_image_path").toString(), appDir + "/qss/image");
    QCOMPARE(view.value("view_tips_image_replace").toString(), QStringLiteral("%path%"));
}

void tst_AbilityNetworkTool::onlineAgainShowsNothing()
{
    QSignalSpy status(&NetworkManager::Instance(), &NetworkManager::SignNetworkStatusChange);
    const int hits = m_server.TotalHits();
    NetworkManager::Instance().OnlineStateChanged(true);
    QCOMPARE(status.size(), 0);
    QCOMPARE(m_server.TotalHits(), hits);
}

void tst_AbilityNetworkTool::newStatusReplacesShownTips()
{
    // Stand-ins for tips windows on screen: a network status one and another one.
    QWidget networkTips, otherTips;
    auto* logo = new QLabel(&networkTips);
    logo->setObjectName(QStringLiteral("lblLogoNetworkErrorImage"));
    new QLabel(QStringLiteral("update ready"), &otherTips);
    networkTips.show();
    otherTips.show();
    const int before = TipsRequests().size();
    NetworkManager::Instance().OnlineStateChanged(false);
    QTRY_COMPARE(TipsRequests().size(), before + 1);
    QVERIFY(!networkTips.isVisible());
    QVERIFY(otherTips.isVisible());
}

void tst_AbilityNetworkTool::refusesOtherTypes()
{
    JsonCommand request;
    request.type = QStringLiteral("query");
    request.command = QStringLiteral("get_interface");
    QVERIFY(!m_pAbility->DealCommand(request));
    request.type = QStringLiteral("command");
    request.command = QStringLiteral("get_interfaces");
    QVERIFY(!m_pAbility->DealCommand(request));
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
    for (; images.hasNext(); ++count) {
        const QString file = data + QStringLiteral("/image/") + images.next().captured(1);
        QVERIFY2(!QImage(file).isNull(), qPrintable(file));
    }
    QCOMPARE(count, 2);
}

QTEST_MAIN(tst_AbilityNetworkTool)
#include "tst_AbilityNetworkTool.moc"
