#include "core/AbilityManager.h"
#include "core/AbilityReply.h"
#include "core/JsonReader.h"
#include "core/MessageService.h"
#include "core/TaskRegistry.h"
#include "tests/support/HubCapture.h"

#include <QtTest>

namespace {

// Takes its commands and answers each with code 100 and the command's data; refuses "refuse".
class FakeAbility : public IAbility
{
public:
    FakeAbility(QString _qstrTag, std::vector<QString> _names)
        : m_qstrTag(std::move(_qstrTag)), m_names(std::move(_names))
    {
    }
    std::vector<QString> GetAbilities() override { return m_names; }
    std::vector<CommandInfo> Catalog() const override
    {
        std::vector<CommandInfo> infos;
        for (const QString& name : m_names)
            infos.push_back({name,
                             ReplyKind::Single,
                             {100},
                             name == QLatin1String("alpha") ? QStringLiteral("stop_alpha") : QString(),
                             name == QLatin1String("beta") ? QStringLiteral("{\"n\":<number>}") : QString()});
        return infos;
    }
    bool DealCommand(const JsonCommand& command) override
    {
        if (command.type != Envelope::kCommand || command.command == QLatin1String("refuse"))
            return false;
        if (std::find(m_names.begin(), m_names.end(), command.command) == m_names.end())
            return false;
        AbilityReply::Send(command, 100, m_qstrTag, command.data);
        return true;
    }

private:
    QString m_qstrTag;
    std::vector<QString> m_names;
};

} // namespace

Q_DECLARE_METATYPE(MessageService::Via)

class tst_MessageService : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void registrationListsAbilitiesInOrder();
    void loginAndLogout();
    void loginWithUnusableData_data();
    void loginWithUnusableData();
    void commandGoesToFirstClientInNameOrder();
    void serviceCommandsAlwaysReachTheManager();
    void errorVocabulary_data();
    void errorVocabulary();
    void queries();
    void statusListsClientsAndTasks();
    void transferToNamedClients();
    void castReachesEveryClientAndManagerAnswersMinus4_data();
    void castReachesEveryClientAndManagerAnswersMinus4();
    void serviceNameRefusedAsClientSender_data();
    void serviceNameRefusedAsClientSender();
    void abilityResultFollowsCommandRet();
    void firstCreatedAbilityWins();
    void refusedCommandGetsOneMinus4();
    void answerToTheServiceNamesOnlyTheLoggedInConnection_data();
    void answerToTheServiceNamesOnlyTheLoggedInConnection();

private:
    QList<Delivery> takeFor(const QString& _qstrName) { return m_pHub->Take(_qstrName); }
    QList<Delivery> waitFor(const QString& _qstrName, int _nCount)
    {
        return m_pHub->TakeAtLeast(_qstrName, _nCount, 5000);
    }
    JsonCommand send(const QString& _qstrClient, const QString& _qstrType, const QString& _qstrCommand,
                     const QString& _qstrData = QString(), const QStringList& _to = {}, bool _blCast = false,
                     MessageService::Via _via = MessageService::Via::Local);
    void login(const QString& _qstrClient, const QStringList& _names);

    std::unique_ptr<AbilityManager> m_pManager;
    std::unique_ptr<HubCapture> m_pHub;
    int m_nGuid = 0;
};

void tst_MessageService::initTestCase()
{
    AbilityManager::Abilities abilities;
    abilities.push_back(std::make_unique<FakeAbility>("one", std::vector<QString>{"alpha", "both"}));
    abilities.push_back(nullptr);
    abilities.push_back(
        std::make_unique<FakeAbility>("three", std::vector<QString>{"both", "beta", "refuse"}));
    QTest::ignoreMessage(QtCriticalMsg, "ability create failed: 2");
    m_pManager = std::make_unique<AbilityManager>(std::move(abilities), MessageService::Instance());
    m_pManager->RegistAbilities();
    m_pHub = std::make_unique<HubCapture>();
}

void tst_MessageService::init()
{
    QCoreApplication::processEvents();
    const auto registry = MessageService::Instance().Registry();
    for (const QString& name : registry.keys())
        if (name != Envelope::kServiceName)
            send(name, "notify", "command_logout");
    m_pHub->Clear();
}

JsonCommand tst_MessageService::send(const QString& _qstrClient, const QString& _qstrType,
                                     const QString& _qstrCommand, const QString& _qstrData,
                                     const QStringList& _to, bool _blCast, MessageService::Via _via)
{
    JsonCommand cmd;
    cmd.type = _qstrType;
    cmd.command = _qstrCommand;
    cmd.data = _qstrData;
    cmd.to = _to;
    cmd.iscast = _blCast;
    cmd.from = _qstrClient;
    cmd.guid = QString::number(++m_nGuid);
    cmd.userdata = "ud" + cmd.guid;
    MessageService::Instance().OnMessageReceived(_qstrClient.toUtf8(), cmd.ToString(), _via);
    return cmd;
}

void tst_MessageService::login(const QString& _qstrClient, const QStringList& _names)
{
    QJsonObject body{{"abilities", QJsonArray::fromStringList(_names)}};
    send(_qstrClient, "notify", "command_login", QJsonDocument(body).toJson(QJsonDocument::Compact));
    takeFor(_qstrClient);
}

void tst_MessageService::registrationListsAbilitiesInOrder()
{
    QCOMPARE(MessageService::Instance().Registry().value(Envelope::kServiceName),
             QStringList({"alpha", "both", "both", "beta", "refuse"}));
}

void tst_MessageService::loginAndLogout()
{
    const JsonCommand req = send("app", "notify", "command_login", R"({"abilities":["x","y"]})");
    const auto answers = takeFor("app");
    QCOMPARE(answers.size(), 1);
    const JsonCommand& ret = answers[0].envelope;
    QCOMPARE(ret.type, QString("notify_ret"));
    QCOMPARE(ret.from, Envelope::kServiceName);
    QCOMPARE(ret.guid, req.guid);
    QCOMPARE(ret.userdata, req.userdata);
    QCOMPARE(ret.command, QString("command_login"));
    QCOMPARE(ret.error_code, qint64(0));
    QVERIFY(ret.to.isEmpty() && !ret.iscast && !ret.force_reply);
    QCOMPARE(MessageService::Instance().Registry().value("app"), QStringList({"x", "y"}));

    send("app", "notify", "command_login", R"({"abilities":["z"]})");
    QCOMPARE(MessageService::Instance().Registry().value("app"), QStringList({"z"}));
    send("app", "notify", "command_logout");
    QVERIFY(!MessageService::Instance().Registry().contains("app"));
    QCOMPARE(takeFor("app").size(), 2);
}

void tst_MessageService::loginWithUnusableData_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("log");
    QTest::newRow("empty") << ""
                           << "JsonSource::LoadFromString:";
    QTest::newRow("array") << "[1]"
                           << "JsonSource::LoadFromString:qjsonOdc is not object";
    QTest::newRow("abilities not array") << R"({"abilities":"x"})"
                                         << "";
}

void tst_MessageService::loginWithUnusableData()
{
    QFETCH(QString, data);
    QFETCH(QString, log);
    if (!log.isEmpty())
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^" + QRegularExpression::escape(log)));
    send("empty", "notify", "command_login", data);
    QVERIFY(MessageService::Instance().Registry().contains("empty"));
    QCOMPARE(MessageService::Instance().Registry().value("empty"), QStringList());
    const auto answers = takeFor("empty");
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].envelope.error_code, qint64(0));
}

void tst_MessageService::commandGoesToFirstClientInNameOrder()
{
    login("b", {"shared"});
    login("a", {"other", "shared"});
    const JsonCommand req = send("caller", "command", "shared", "payload");
    const auto toA = takeFor("a");
    QCOMPARE(toA.size(), 1);
    QCOMPARE(toA[0].envelope, req); // a copy, unchanged
    QVERIFY(takeFor("b").isEmpty());
    const auto ret = takeFor("caller");
    QCOMPARE(ret.size(), 1);
    QCOMPARE(ret[0].envelope.type, QString("command_ret"));
    QCOMPARE(ret[0].envelope.data, QString("ok"));
}

void tst_MessageService::serviceCommandsAlwaysReachTheManager()
{
    login("0early", {"alpha"}); // sorts before "message_service"
    send("caller", "command", "alpha", "hello");
    QVERIFY(takeFor("0early").isEmpty());
    const QList<Delivery> all = waitFor("caller", 2);
    QCOMPARE(all[0].envelope.type, QString("command_ret"));
    QCOMPARE(all[1].envelope.error_string, QString("one")); // answered by the manager's ability
}

void tst_MessageService::errorVocabulary_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("answerType");
    QTest::addColumn<qint64>("code");
    QTest::addColumn<QString>("error");
    const QString typeError = "param error, command type not correct, cannot be processed";
    QTest::newRow("unknown type")
        << QByteArray(R"({"type":"shout","command":"x","iscast":false,"force_reply":false})") << ""
        << qint64(-1) << typeError;
    QTest::newRow("type case differs")
        << QByteArray(R"({"type":"Command","command":"alpha","iscast":false,"force_reply":false})") << ""
        << qint64(-1) << typeError;
    QTest::newRow("not json") << QByteArray("{{{") << "" << qint64(-1) << typeError;
    QTest::newRow("unknown command")
        << QByteArray(R"({"type":"command","command":"nobody","iscast":false,"force_reply":false})")
        << "command_ret" << qint64(-3) << "ability not found";
    QTest::newRow("unknown query")
        << QByteArray(
               R"({"type":"query","command":"command_ability","data":"nobody","iscast":false,"force_reply":false})")
        << "query_ret" << qint64(-3) << "ability not found";
}

void tst_MessageService::errorVocabulary()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, answerType);
    QFETCH(qint64, code);
    QFETCH(QString, error);
    if (text == "{{{")
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^JsonCommand::LoadFromString:"));
    MessageService::Instance().OnMessageReceived("someone", text);
    const auto answers = takeFor("someone");
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].envelope.type, answerType);
    QCOMPARE(answers[0].envelope.error_code, code);
    QCOMPARE(answers[0].envelope.error_string, error);
}

void tst_MessageService::queries()
{
    login("zeta", {"z1", "alpha"});
    login("alfa", {"a1"});
    send("q", "query", "command_abilities");
    auto answers = takeFor("q");
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].envelope.type, QString("query_ret"));
    QCOMPARE(answers[0].envelope.data,
             QString(R"({"abilities":["a1","alpha","both","both","beta","refuse","z1","alpha"]})"));

    send("q", "query", "command_ability", "z1");
    answers = takeFor("q");
    QCOMPARE(answers[0].envelope.data, QString("z1"));
    QCOMPARE(answers[0].envelope.error_code, qint64(0));

    // Only the service's own commands, in the order they were registered; clients' are not listed.
    // A stop command and the data needed are named only where there are some.
    send("q", "query", "command_catalog");
    answers = takeFor("q");
    QCOMPARE(answers[0].envelope.data,
             QString(R"({"commands":[{"name":"alpha","reply":"single","stop":"stop_alpha","success":[100]},)"
                     R"({"name":"both","reply":"single","success":[100]},)"
                     R"({"name":"both","reply":"single","success":[100]},)"
                     R"({"data":"{\"n\":<number>}","name":"beta","reply":"single","success":[100]},)"
                     R"({"name":"refuse","reply":"single","success":[100]}]})"));

    send("q", "query", "something_else");
    answers = takeFor("q");
    QCOMPARE(answers[0].envelope.error_code, qint64(0));
    QCOMPARE(answers[0].envelope.data, QString());
}

void tst_MessageService::statusListsClientsAndTasks()
{
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    login("zeta", {});
    send("alfa", "notify", "command_login", "", {}, false, MessageService::Via::WebSocket);
    send("mid", "notify", "command_login", "", {}, false, MessageService::Via::Zmq);
    // A second login over the other transport is what the entry says from then on.
    send("zeta", "notify", "command_login", "", {}, false, MessageService::Via::Zmq);
    send("gone", "notify", "command_login", "", {}, false, MessageService::Via::Zmq);
    send("gone", "notify", "command_logout");
    send("here", "notify", "command_login");
    auto download = std::make_unique<TaskRegistry::Handle>("{t1}", "download", "alfa");
    download->SetPercent(42.5);
    auto countDown = std::make_unique<TaskRegistry::Handle>("{t0}", "count_down", "mid");
    takeFor("alfa");
    takeFor("mid");
    takeFor("zeta");
    takeFor("gone");
    takeFor("here");

    send("q", "query", "command_status");
    download.reset();
    countDown.reset();
    const auto answers = takeFor("q");
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].envelope.type, QString("query_ret"));
    QCOMPARE(answers[0].envelope.error_code, qint64(0));
    const QJsonObject body = QJsonDocument::fromJson(answers[0].envelope.data.toUtf8()).object();

    QStringList clients;
    for (const QJsonValue& client : body.value("clients").toArray()) {
        const QJsonObject row = client.toObject();
        clients << row.value("name").toString() + ":" + row.value("transport").toString() + ":" +
                       (row.value("connected").toBool() ? "connected" : "closed");
        const QDateTime since = QDateTime::fromString(row.value("since").toString(), Qt::ISODate);
        QVERIFY2(since.isValid() && since >= before && since <= QDateTime::currentDateTime(),
                 qPrintable(row.value("since").toString()));
    }
    // In name order, the service itself left out. No transport runs here, so only the client in
    // the service's own process has a connection.
    QCOMPARE(clients,
             QStringList({"alfa:ws:closed", "here:local:connected", "mid:zmq:closed", "zeta:zmq:closed"}));
    QCOMPARE(QJsonDocument(body.value("tasks").toArray()).toJson(QJsonDocument::Compact),
             QByteArray(R"([{"client":"mid","command":"count_down","guid":"{t0}","percent":null},)"
                        R"({"client":"alfa","command":"download","guid":"{t1}","percent":42.5}])"));
}

void tst_MessageService::transferToNamedClients()
{
    login("r1", {});
    const JsonCommand req = send("sender", "transfer", "chat", "hi", {"r1", "ghost", "r1"});
    QCOMPARE(takeFor("r1").size(), 1);   // a name listed twice receives it once
    const auto ghost = takeFor("ghost"); // delivered even though not registered
    QCOMPARE(ghost.size(), 1);
    QCOMPARE(ghost[0].envelope, req);
    const auto ret = takeFor("sender");
    QCOMPARE(ret.size(), 1);
    QCOMPARE(ret[0].envelope.type, QString("transfer_ret"));

    // Past 1,024 distinct names the transfer is refused and relayed to nobody.
    QStringList many;
    for (int i = 0; i < 1025; ++i)
        many << QString("n%1").arg(i);
    send("sender", "transfer", "chat", "hi", many + QStringList{"r1"});
    QCOMPARE(takeFor("r1").size(), 0);
    const auto refused = takeFor("sender");
    QCOMPARE(refused.size(), 1);
    QCOMPARE(refused[0].envelope.error_code, qint64(-1));
    send("sender", "transfer", "chat", "hi", many.mid(1) + many.mid(1));
    QCOMPARE(takeFor("n1").size(), 1);
}

void tst_MessageService::castReachesEveryClientAndManagerAnswersMinus4_data()
{
    QTest::addColumn<bool>("loggedIn");
    QTest::newRow("sender logged in") << true;
    // Answers go to the envelope's "from", whoever sent it.
    QTest::newRow("sender not logged in") << false;
}

void tst_MessageService::castReachesEveryClientAndManagerAnswersMinus4()
{
    QFETCH(bool, loggedIn);
    login("c1", {});
    login("c2", {});
    if (loggedIn)
        login("sender", {});
    send("sender", "transfer", "chat", "hi", {}, true,
         loggedIn ? MessageService::Via::Local : MessageService::Via::Zmq);
    QCOMPARE(takeFor("c1").size(), 1);
    QCOMPARE(takeFor("c2").size(), 1);
    // The sender gets its own copy when it is registered, the hub's answer, and later the
    // manager's refusal.
    QCOMPARE(takeFor("sender").size(), loggedIn ? 2 : 1);
    const QList<Delivery> late = waitFor("sender", 1);
    QCOMPARE(late.size(), 1);
    QCOMPARE(late[0].envelope.type, QString("transfer"));
    QCOMPARE(late[0].envelope.error_code, qint64(-4));
    QCOMPARE(late[0].envelope.to, QStringList({"sender"}));
}

void tst_MessageService::serviceNameRefusedAsClientSender_data()
{
    using Via = MessageService::Via;
    QTest::addColumn<Via>("via");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("cast");
    QTest::newRow("ZeroMQ transfer") << Via::Zmq << "transfer"
                                     << "pre_uninst" << false;
    QTest::newRow("WebSocket transfer") << Via::WebSocket << "transfer"
                                        << "pre_uninst" << false;
    QTest::newRow("ZeroMQ cast") << Via::Zmq << "transfer"
                                 << "chat" << true;
    QTest::newRow("WebSocket command") << Via::WebSocket << "command"
                                       << "offered" << false;
    QTest::newRow("ZeroMQ login") << Via::Zmq << "notify"
                                  << "command_login" << false;
    // The service's own envelopes go on flowing.
    QTest::newRow("the service itself") << Via::Local << "transfer"
                                        << "pre_uninst" << false;
}

void tst_MessageService::serviceNameRefusedAsClientSender()
{
    QFETCH(MessageService::Via, via);
    QFETCH(QString, type);
    QFETCH(QString, command);
    QFETCH(bool, cast);
    login("c1", {"offered"});
    JsonCommand forged = MakeRequest(command, QString(), type);
    forged.from = Envelope::kServiceName;
    forged.to = QStringList{"c1"};
    forged.iscast = cast;
    MessageService::Instance().OnMessageReceived("forger", forged.ToString(), via);
    const bool own = via == MessageService::Via::Local;
    QCOMPARE(takeFor("c1").size(), own ? 1 : 0);
    const QList<Delivery> answers = takeFor("forger");
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].envelope.error_code, own ? qint64(0) : qint64(-1));
    QCOMPARE(answers[0].envelope.type, Envelope::AnswerType(type));
    QVERIFY(takeFor(Envelope::kServiceName).isEmpty());
    QVERIFY(!MessageService::Instance().Registry().contains("forger"));
}

void tst_MessageService::abilityResultFollowsCommandRet()
{
    const JsonCommand req = send("caller", "command", "beta", "data!");
    const QList<Delivery> all = waitFor("caller", 2);
    QCOMPARE(all.size(), 2);
    QCOMPARE(all[0].envelope.type, QString("command_ret"));
    const JsonCommand& result = all[1].envelope;
    QCOMPARE(result.type, QString("transfer"));
    QCOMPARE(result.guid, req.guid);
    QCOMPARE(result.userdata, req.userdata);
    QCOMPARE(result.error_code, qint64(100));
    QCOMPARE(result.data, QString("data!"));
    QCOMPARE(result.from, Envelope::kServiceName);
}

void tst_MessageService::firstCreatedAbilityWins()
{
    send("caller", "command", "both");
    const QList<Delivery> all = waitFor("caller", 2);
    QCOMPARE(all[1].envelope.error_string, QString("one"));
}

void tst_MessageService::refusedCommandGetsOneMinus4()
{
    send("caller", "command", "refuse");
    QList<Delivery> all = waitFor("caller", 2);
    QTest::qWait(50);
    all += takeFor("caller");
    QCOMPARE(all.size(), 2);
    QCOMPARE(all[1].envelope.error_code, qint64(-4));
    QCOMPARE(all[1].envelope.error_string,
             QString("ability found, but cannot be dealed, please check your param or context"));
}

void tst_MessageService::answerToTheServiceNamesOnlyTheLoggedInConnection_data()
{
    using Via = MessageService::Via;
    QTest::addColumn<Via>("loginVia");
    QTest::addColumn<Via>("answerVia");
    QTest::addColumn<QString>("sender");
    QTest::newRow("the logged-in connection") << Via::WebSocket << Via::WebSocket << "app";
    // A ZeroMQ routing identity can be any name; it is not the application logged in over WebSocket.
    QTest::newRow("same name, other transport") << Via::WebSocket << Via::Zmq << "";
    QTest::newRow("same name, never logged in") << Via::Local << Via::Zmq << "";
}

void tst_MessageService::answerToTheServiceNamesOnlyTheLoggedInConnection()
{
    QFETCH(MessageService::Via, loginVia);
    QFETCH(MessageService::Via, answerVia);
    QFETCH(QString, sender);
    if (loginVia != MessageService::Via::Local)
        send("app", "notify", "command_login", "{\"abilities\":[]}", {}, false, loginVia);
    takeFor("app");
    send("app", "transfer", "pre_uninst", QString(), {Envelope::kServiceName}, false, answerVia);
    const QList<Delivery> toManager = takeFor(Envelope::kServiceName);
    QCOMPARE(toManager.size(), 1);
    QCOMPARE(toManager[0].envelope.verified_sender, sender);
    QCOMPARE(toManager[0].envelope.from, QString("app")); // as sent, so answers still reach it
}

QTEST_GUILESS_MAIN(tst_MessageService)
#include "tst_MessageService.moc"
