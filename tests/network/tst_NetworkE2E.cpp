#include "tests/e2e/ServiceHarness.h"
#include "tests/network/ProbeServer.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

// The network commands through the running service, against http and https servers of the test:
// result codes, address order, bodies it cannot use, the public probe, time limits, and many
// commands at once.
namespace {

using Results = QList<QPair<QString, int>>;

QString Body(const Results& _listElements)
{
    QJsonArray array;
    for (const auto& element : _listElements)
        array.append(QJsonObject{{"url", element.first}, {"result", element.second}});
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

// The answer text the service must send: elements in address order, "result" before "url".
QString Expected(Results _listResults)
{
    std::sort(_listResults.begin(), _listResults.end());
    QString text = QStringLiteral("[");
    for (const auto& element : _listResults)
        text += QStringLiteral("{\"result\":%1,\"url\":\"%2\"},").arg(element.second).arg(element.first);
    if (text.endsWith(QLatin1Char(',')))
        text.chop(1);
    return text + QLatin1Char(']');
}

constexpr int kUpTimeoutSeconds = 4;
constexpr int kDownTimeoutSeconds = 2;

} // namespace

class tst_NetworkE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void addressResults_data();
    void addressResults();
    void publicNetworkDown_data();
    void publicNetworkDown();
    void publicNetwork_data();
    void publicNetwork();
    void silentAddressEndsAtTimeout();
    void commandsDoNotWaitForEachOther();

private:
    JsonCommand Ask(ZmqTestClient& _client, const QString& _qstrCommand, const QString& _qstrData,
                    int _nTimeoutMs = 20000);

    QTemporaryDir m_dir;
    ProbeServer m_server;
    std::unique_ptr<ProbeServer> m_pTlsServer;
    std::unique_ptr<ServiceProcess> m_pUp;   // the public probe answers 200
    std::unique_ptr<ServiceProcess> m_pDown; // the public probe never answers
    std::unique_ptr<ZmqTestClient> m_pUpClient;
    std::unique_ptr<ZmqTestClient> m_pDownClient;
};

void tst_NetworkE2E::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QSslCertificate cert;
    QSslKey key;
    QVERIFY(ProbeServer::MakeCertificate(m_dir.path(), cert, key));
    m_pTlsServer = std::make_unique<ProbeServer>(cert, key);
    m_pUp = std::make_unique<ServiceProcess>(
        QMap<QString, QString>{{"network/publicNetworkUrl", m_server.Url("/ok")},
                               {"network/probeTimeoutSeconds", QString::number(kUpTimeoutSeconds)}});
    m_pDown = std::make_unique<ServiceProcess>(
        QMap<QString, QString>{{"network/publicNetworkUrl", m_server.Url("/hang")},
                               {"network/probeTimeoutSeconds", QString::number(kDownTimeoutSeconds)}});
    QVERIFY2(m_pUp->start(), qPrintable(m_pUp->errorString()));
    QVERIFY2(m_pDown->start(), qPrintable(m_pDown->errorString()));
    m_pUpClient = std::make_unique<ZmqTestClient>(QStringLiteral("net-up"), m_pUp->zmqPort());
    m_pDownClient = std::make_unique<ZmqTestClient>(QStringLiteral("net-down"), m_pDown->zmqPort());
    QVERIFY(m_pUpClient->login());
    QVERIFY(m_pDownClient->login());
}

JsonCommand tst_NetworkE2E::Ask(ZmqTestClient& _client, const QString& _qstrCommand, const QString& _qstrData,
                                int _nTimeoutMs)
{
    JsonCommand request = makeCommand(QStringLiteral("command"), _qstrCommand, _qstrData);
    request.userdata = QStringLiteral("ud-") + request.guid;
    _client.send(request);
    const auto answer = _client.waitFor(
        [&](const JsonCommand& c) { return c.guid == request.guid && c.type == QLatin1String("transfer"); },
        _nTimeoutMs);
    if (!answer)
        return JsonCommand();
    // Every answer goes to the requester alone and carries its guid and userdata.
    if (answer->userdata != request.userdata || answer->to != QStringList{_client.name()} ||
        answer->from != QLatin1String("message_service") || answer->error_code != 0)
        return JsonCommand();
    return *answer;
}

void tst_NetworkE2E::addressResults_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("method");
    QTest::newRow("get") << "get_interface" << QByteArray("GET");
    QTest::newRow("post") << "post_interface" << QByteArray("POST");
}

void tst_NetworkE2E::addressResults()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, method);
    Results expected = {{m_server.Url("/ok"), 0},
                        {m_server.Url("/status/500"), 2},
                        {m_server.Url("/status/404"), 2},
                        {m_server.Url("/status/302"), 0},
                        {QStringLiteral("http://127.0.0.1:1/refused"), 2},
                        {QStringLiteral("ftp://127.0.0.1/x"), 2},
                        {QStringLiteral("file:///etc/hostname"), 2},
                        {QStringLiteral("data:text/plain,hi"), 2},
                        {QStringLiteral("bare-word"), 2},
                        {m_pTlsServer->Url("/ok"), 0}};
    // The client's own "result" values do not matter; elements without a string url and a
    // numeric result are dropped.
    Results sent;
    for (const auto& element : expected)
        sent.append({element.first, 7});
    QJsonArray array = QJsonDocument::fromJson(Body(sent).toUtf8()).array();
    array.append(QJsonObject{{"url", m_server.Url("/status/201")}});
    array.append(QJsonObject{{"url", m_server.Url("/status/202")}, {"result", "0"}});
    array.append(QStringLiteral("not an element"));
    const int hitsBefore = m_server.TotalHits();
    const int tlsBefore = m_pTlsServer->Hits("/ok");

    const JsonCommand answer =
        Ask(*m_pUpClient, command, QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)));
    QCOMPARE(answer.command, command + QStringLiteral("_ret"));
    QCOMPARE(answer.data, Expected(expected));
    // One public probe plus the four addresses on the test server; nothing else.
    QCOMPARE(m_server.TotalHits() - hitsBefore, 5);
    QCOMPARE(m_pTlsServer->Hits("/ok") - tlsBefore, 1);
    QCOMPARE(m_server.Hits("/status/201"), 0);
    QCOMPARE(m_server.LastMethod(), method);
}

void tst_NetworkE2E::publicNetworkDown_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("probes");
    QTest::newRow("get") << "get_interface" << 1;
    QTest::newRow("post") << "post_interface" << 1;
    QTest::newRow("public_network, a probe per address") << "public_network" << 2;
}

void tst_NetworkE2E::publicNetworkDown()
{
    QFETCH(QString, command);
    QFETCH(int, probes);
    const Results addresses = {{m_server.Url("/ok"), 0}, {m_server.Url("/status/500"), 0}};
    const int okBefore = m_server.Hits("/ok");
    const int failingBefore = m_server.Hits("/status/500");
    const int probesBefore = m_server.Hits("/hang");
    const JsonCommand answer = Ask(*m_pDownClient, command, Body(addresses), 30000);
    QCOMPARE(answer.data, Expected({{addresses[0].first, 1}, {addresses[1].first, 1}}));
    QCOMPARE(m_server.Hits("/ok") - okBefore, 0);
    QCOMPARE(m_server.Hits("/status/500") - failingBefore, 0);
    QCOMPARE(m_server.Hits("/hang") - probesBefore, probes);
}

void tst_NetworkE2E::publicNetwork_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("probes");
    const QString a = QStringLiteral("http://a.invalid/"), b = QStringLiteral("http://b.invalid/");
    QTest::newRow("two addresses, never contacted")
        << Body({{b, 0}, {a, 0}}) << Expected({{a, 0}, {b, 0}}) << 2;
    QTest::newRow("empty array") << "[]"
                                 << "[]" << 0;
    QTest::newRow("an object") << "{\"url\":\"http://a.invalid/\",\"result\":0}"
                               << "[]" << 0;
    QTest::newRow("not JSON") << "[{"
                              << "[]" << 0;
}

void tst_NetworkE2E::publicNetwork()
{
    QFETCH(QString, data);
    QFETCH(QString, expected);
    QFETCH(int, probes);
    const int before = m_server.Hits("/ok");
    const JsonCommand answer = Ask(*m_pUpClient, QStringLiteral("public_network"), data);
    QCOMPARE(answer.command, QStringLiteral("public_network_ret"));
    QCOMPARE(answer.data, expected);
    QCOMPARE(m_server.Hits("/ok") - before, probes);
}

void tst_NetworkE2E::silentAddressEndsAtTimeout()
{
    const QString url = m_server.Url("/hang");
    QElapsedTimer timer;
    timer.start();
    const JsonCommand answer = Ask(*m_pUpClient, QStringLiteral("get_interface"), Body({{url, 0}}), 60000);
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(answer.data, Expected({{url, 2}}));
    QVERIFY2(elapsed >= kUpTimeoutSeconds * 1000 - 500, qPrintable(QString::number(elapsed)));
    QVERIFY2(elapsed < kUpTimeoutSeconds * 1000 * 3, qPrintable(QString::number(elapsed)));
}

void tst_NetworkE2E::commandsDoNotWaitForEachOther()
{
    // Slow commands first: if commands queued behind each other, no quick answer could come
    // before the silent addresses time out.
    const QString slow = m_server.Url("/hang"), quick = m_server.Url("/ok");
    QMap<QString, QString> expected; // guid -> answer data
    for (int i = 0; i < 50; ++i) {
        const bool isSlow = i < 25;
        const QString url = isSlow ? slow : quick;
        JsonCommand request =
            makeCommand(QStringLiteral("command"), QStringLiteral("get_interface"), Body({{url, 0}}));
        expected.insert(request.guid, Expected({{url, isSlow ? 2 : 0}}));
        QVERIFY(m_pUpClient->send(request));
    }
    QStringList order;
    while (order.size() < expected.size()) {
        const auto answer = m_pUpClient->waitFor(
            [&](const JsonCommand& c) {
                return c.type == QLatin1String("transfer") && expected.contains(c.guid);
            },
            60000);
        QVERIFY2(answer, qPrintable(QStringLiteral("%1 answers").arg(order.size())));
        QCOMPARE(answer->data, expected.value(answer->guid));
        order.append(answer->data.contains(QLatin1String("\"result\":2")) ? QStringLiteral("slow")
                                                                          : QStringLiteral("quick"));
    }
    QCOMPARE(order.indexOf(QStringLiteral("slow")), 25);
}

QTEST_GUILESS_MAIN(tst_NetworkE2E)
#include "tst_NetworkE2E.moc"
