#include "tests/support/HttpTestServer.h"
#include "tests/support/ServiceHarness.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

// The network commands through the running service, against http and https servers of the test:
// result codes, address order, bodies it cannot use, the public probe, time limits, and many
// commands at once. One service's probe address answers 200, the other's never answers.
namespace {

// Addresses, each optionally followed by "=code", to the body a client sends (result 0 each), or
// to the answer the service must send (in address order).
QString Body(const QStringList& _listPairs, bool _blAnswer = false)
{
    QMap<QString, QString> results;
    for (const QString& pair : _listPairs) {
        const auto match = QRegularExpression(QStringLiteral("^(.*)=(\\d+)$")).match(pair);
        results.insert(match.hasMatch() ? match.captured(1) : pair, _blAnswer ? match.captured(2) : "0");
    }
    QStringList elements;
    for (auto it = results.cbegin(); it != results.cend(); ++it)
        elements.append(QStringLiteral(R"({"result":%1,"url":"%2"})").arg(it.value(), it.key()));
    return QLatin1Char('[') + elements.join(QLatin1Char(',')) + QLatin1Char(']');
}

constexpr int kTimeoutSeconds = 3;

} // namespace

class tst_NetworkE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void addressResults_data();
    void addressResults();
    void publicProbe_data();
    void publicProbe();
    void silentAddressEndsAtTimeout();
    void statusLineDecidesWhateverTheBody_data();
    void statusLineDecidesWhateverTheBody();
    void commandNamingTooManyAddressesIsRefused();
    void commandsWithinTheShareDoNotWaitForEachOther();
    void stopsCleanlyWhileTesting();

private:
    JsonCommand Ask(ZmqTestClient& _client, const QString& _qstrCommand, const QString& _qstrData);

    QTemporaryDir m_dir;
    HttpTestServer m_server;
    std::unique_ptr<HttpTestServer> m_pTlsServer;
    std::unique_ptr<ServiceProcess> m_pServices[2]; // probe answering, probe silent
    std::unique_ptr<ZmqTestClient> m_pClients[2];
};

void tst_NetworkE2E::initTestCase()
{
    QSslCertificate cert;
    QSslKey key;
    QVERIFY(HttpTestServer::MakeCertificate(m_dir.path(), cert, key));
    m_pTlsServer = std::make_unique<HttpTestServer>(cert, key);
    const QString probes[2] = {m_server.Url("/ok"), m_server.Url("/hang")};
    for (int i = 0; i < 2; ++i) {
        m_pServices[i] = std::make_unique<ServiceProcess>(
            QMap<QString, QString>{{"network/publicNetworkUrl", probes[i]},
                                   {"network/probeTimeoutSeconds", QString::number(kTimeoutSeconds)}});
        QVERIFY2(m_pServices[i]->start(), qPrintable(m_pServices[i]->errorString()));
        m_pClients[i] =
            std::make_unique<ZmqTestClient>(QStringLiteral("net-%1").arg(i), m_pServices[i]->zmqPort());
        QVERIFY(m_pClients[i]->login());
    }
}

JsonCommand tst_NetworkE2E::Ask(ZmqTestClient& _client, const QString& _qstrCommand, const QString& _qstrData)
{
    JsonCommand request = makeCommand(QStringLiteral("command"), _qstrCommand, _qstrData);
    request.userdata = QStringLiteral("ud-") + request.guid;
    _client.send(request);
    const auto answer = _client.waitFor(
        [&](const JsonCommand& c) { return c.guid == request.guid && c.type == QLatin1String("transfer"); },
        30000);
    // Every answer goes to the requester alone, with its guid and userdata and error code 0.
    if (!answer || answer->userdata != request.userdata || answer->to != QStringList{_client.name()} ||
        answer->command != _qstrCommand + QStringLiteral("_ret") || answer->error_code != 0)
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
    const QStringList results = {m_server.Url("/ok=0"),         m_server.Url("/status/500=2"),
                                 m_server.Url("/status/404=2"), m_server.Url("/status/302=0"),
                                 m_pTlsServer->Url("/ok=0"),    "http://127.0.0.1:1/refused=2",
                                 "ftp://127.0.0.1/x=2",         "file:///etc/hostname=2",
                                 "data:text/plain,hi=2",        "bare-word=2"};
    // Elements without a string url and a numeric result are dropped.
    QString body = Body(results);
    body.chop(1);
    body += QStringLiteral(R"(,{"url":"%1"},{"url":"%2","result":"0"},"text"])")
                .arg(m_server.Url("/status/201"), m_server.Url("/status/202"));
    const int hits = m_server.TotalHits(), tlsHits = m_pTlsServer->TotalHits();

    QCOMPARE(Ask(*m_pClients[0], command, body).data, Body(results, true));
    // The public probe and four addresses on the http server, one on the https server.
    QCOMPARE(m_server.TotalHits() - hits, 5);
    QCOMPARE(m_pTlsServer->TotalHits() - tlsHits, 1);
    QCOMPARE(m_server.LastMethod(), method);
}

void tst_NetworkE2E::publicProbe_data()
{
    QTest::addColumn<int>("service");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("probes");
    const QString a = QStringLiteral("http://a.invalid/"), b = QStringLiteral("http://b.invalid/");
    QTest::newRow("public_network: a probe per address, none contacted")
        << 0 << "public_network" << Body({b, a}) << Body({a + "=0", b + "=0"}, true) << 2;
    QTest::newRow("public_network: empty array, no probe") << 0 << "public_network"
                                                           << "[]"
                                                           << "[]" << 0;
    QTest::newRow("public_network: an object") << 0 << "public_network"
                                               << R"({"url":"x","result":0})"
                                               << "[]" << 0;
    QTest::newRow("get_interface: not JSON") << 0 << "get_interface"
                                             << "[{"
                                             << "[]" << 0;
    QTest::newRow("public_network: probe silent")
        << 1 << "public_network" << Body({b, a}) << Body({a + "=1", b + "=1"}, true) << 2;
    QTest::newRow("get_interface: probe silent")
        << 1 << "get_interface" << Body({b, a}) << Body({a + "=1", b + "=1"}, true) << 1;
    QTest::newRow("post_interface: probe silent")
        << 1 << "post_interface" << Body({b, a}) << Body({a + "=1", b + "=1"}, true) << 1;
}

void tst_NetworkE2E::publicProbe()
{
    QFETCH(int, service);
    QFETCH(QString, command);
    QFETCH(QString, data);
    QFETCH(QString, answer);
    QFETCH(int, probes);
    const int before = m_server.TotalHits();
    QCOMPARE(Ask(*m_pClients[service], command, data).data, answer);
    QCOMPARE(m_server.TotalHits() - before, probes);
}

void tst_NetworkE2E::silentAddressEndsAtTimeout()
{
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(Ask(*m_pClients[0], "get_interface", Body({m_server.Url("/hang")})).data,
             Body({m_server.Url("/hang=2")}, true));
    QVERIFY2(timer.elapsed() >= kTimeoutSeconds * 1000 - 500, qPrintable(QString::number(timer.elapsed())));
}

void tst_NetworkE2E::statusLineDecidesWhateverTheBody_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("get") << "get_interface";
    QTest::newRow("post") << "post_interface";
}

void tst_NetworkE2E::statusLineDecidesWhateverTheBody()
{
    // A body that would never end within the time limit: reachable, decided by its status line.
    QFETCH(QString, command);
    QCOMPARE(Ask(*m_pClients[0], command, Body({m_server.Url("/endless")})).data,
             Body({m_server.Url("/endless=0")}, true));
}

void tst_NetworkE2E::commandNamingTooManyAddressesIsRefused()
{
    // 1,024 distinct addresses are tested (the silent probe settles them all as 1); one more is
    // refused at once, with the hub's -4. A repeated address counts once.
    QStringList addresses;
    for (int i = 0; i < 1024; ++i)
        addresses.append(QStringLiteral("http://a%1.invalid/").arg(i));
    QStringList answer;
    for (const QString& address : addresses)
        answer.append(address + "=1");
    QString withRepeat = Body(addresses);
    withRepeat.chop(1);
    withRepeat += QStringLiteral(R"(,{"result":0,"url":"%1"}])").arg(addresses.first());
    QCOMPARE(Ask(*m_pClients[1], "get_interface", withRepeat).data, Body(answer, true));

    const JsonCommand request =
        makeCommand("command", "get_interface", Body(addresses + QStringList{"http://one-more.invalid/"}));
    QVERIFY(m_pClients[1]->send(request));
    const auto refusal = m_pClients[1]->waitFor(
        [&](const JsonCommand& c) { return c.guid == request.guid && c.type == QLatin1String("transfer"); },
        10000);
    QVERIFY(refusal);
    QCOMPARE(refusal->error_code, qint64(-4));
    QCOMPARE(refusal->error_string, Envelope::CoreErrorText(Envelope::kAbilityNotDealt));
}

void tst_NetworkE2E::commandsWithinTheShareDoNotWaitForEachOther()
{
    // Slow commands first, fewer than a client's share of requests: if commands queued behind
    // each other, no quick answer could come before the silent addresses time out.
    QMap<QString, QString> expected; // guid -> answer
    constexpr int kSlow = 7, kQuick = 10;
    for (int i = 0; i < kSlow + kQuick; ++i) {
        const QString url = m_server.Url(i < kSlow ? "/hang" : "/ok");
        JsonCommand request = makeCommand("command", "get_interface", Body({url}));
        expected.insert(request.guid, Body({url + (i < kSlow ? "=2" : "=0")}, true));
        QVERIFY(m_pClients[0]->send(request));
    }
    QStringList order;
    while (order.size() < expected.size()) {
        const auto answer = m_pClients[0]->waitFor(
            [&](const JsonCommand& c) {
                return c.type == QLatin1String("transfer") && expected.contains(c.guid);
            },
            60000);
        QVERIFY2(answer, qPrintable(QStringLiteral("%1 answers").arg(order.size())));
        QCOMPARE(answer->data, expected.value(answer->guid));
        order.append(answer->data.contains(QLatin1String("hang")) ? "slow" : "quick");
    }
    QCOMPARE(order.indexOf("slow"), kQuick);
}

void tst_NetworkE2E::stopsCleanlyWhileTesting()
{
    for (int i = 0; i < 2; ++i) {
        QVERIFY(m_pClients[i]->send(makeCommand("command", "get_interface", Body({m_server.Url("/hang")}))));
        QVERIFY(m_pServices[i]->waitForLog(QStringLiteral("get_interface")));
        QCOMPARE(m_pServices[i]->stop(10000), 0);
        QVERIFY2(m_pServices[i]->sanitizerReport().isEmpty(), qPrintable(m_pServices[i]->sanitizerReport()));
    }
}

QTEST_GUILESS_MAIN(tst_NetworkE2E)
#include "tst_NetworkE2E.moc"
