// The system information ability through the hub, without sockets: answers, key orders, the
// main-thread delivery, the one-at-a-time measurement shared by queries that wait together, and
// the bound on waiting queries.
#include "system/AbilitySystemInfoTool.h"
#include "tests/support/HubCapture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <sys/statvfs.h>

class tst_AbilitySystemInfoTool : public QObject
{
    Q_OBJECT
private slots:
    void offersItsCommandsInOrder();
    void refusesWhatIsNotItsCommand_data();
    void refusesWhatIsNotItsCommand();
    void diskSpaceAnswer_data();
    void diskSpaceAnswer();
    void backToBackQueriesAnswerSeparatelyOnTheMainThread();
    void topProcessAnswerIsAnArrayInKeyOrder();
    void hardwareAnswerCarriesTheText();
    void releasedWhileQueryRuns();
    void queriesWaitingTogetherShareOneMeasurement();
    void waitingQueriesAreBounded();
    void sameGuidWhileWaitingIsRefused();
};

namespace {

int ThreadCount()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("Threads:\\s+(\\d+)")).match(QString::fromLatin1(status.readAll()));
    return match.captured(1).toInt();
}

} // namespace

void tst_AbilitySystemInfoTool::offersItsCommandsInOrder()
{
    AbilitySystemInfoTool ability;
    const std::vector<QString> expected{"query_hardware", "query_disk_space", "query_cpu", "query_memory",
                                        "query_top_process"};
    QCOMPARE(ability.GetAbilities(), expected);
}

void tst_AbilitySystemInfoTool::refusesWhatIsNotItsCommand_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("command");
    QTest::newRow("query type") << "query"
                                << "query_cpu";
    QTest::newRow("transfer type") << "transfer"
                                   << "query_memory";
    QTest::newRow("other command") << "command"
                                   << "start_proc";
    QTest::newRow("other case") << "command"
                                << "QUERY_CPU";
}

void tst_AbilitySystemInfoTool::refusesWhatIsNotItsCommand()
{
    QFETCH(QString, type);
    QFETCH(QString, command);
    AbilitySystemInfoTool ability;
    QVERIFY(!ability.DealCommand(MakeRequest(command, QString(), type)));
}

void tst_AbilitySystemInfoTool::diskSpaceAnswer_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("statPath"); // empty: the answer must be 0
    QTest::newRow("root") << "{\"key\":\"/\"}"
                          << "/"
                          << "/";
    QTest::newRow("temporary folder")
        << QStringLiteral("{\"key\":\"%1\"}").arg(QDir::tempPath()) << QDir::tempPath() << QDir::tempPath();
    QTest::newRow("missing folder") << "{\"key\":\"/no/such/folder\"}"
                                    << "/no/such/folder"
                                    << "";
    QTest::newRow("empty key") << "{\"key\":\"\"}"
                               << ""
                               << "";
    QTest::newRow("key not a string") << "{\"key\":1}"
                                      << ""
                                      << "";
    QTest::newRow("not JSON") << "/"
                              << ""
                              << "";
}

void tst_AbilitySystemInfoTool::diskSpaceAnswer()
{
    QFETCH(QString, data);
    QFETCH(QString, key);
    QFETCH(QString, statPath);
    HubCapture hub;
    AbilitySystemInfoTool ability;
    const JsonCommand request = MakeRequest(QStringLiteral("query_disk_space"), data);
    QVERIFY(ability.DealCommand(request));
    const auto answer = hub.WaitFor(request.guid, 10000);
    QVERIFY(answer);
    QCOMPARE(answer->client, request.from);
    QCOMPARE(answer->envelope.type, QStringLiteral("transfer"));
    QCOMPARE(answer->envelope.command, request.command);
    QCOMPARE(answer->envelope.userdata, request.userdata);
    QCOMPARE(answer->envelope.to, QStringList{request.from});
    QCOMPARE(answer->envelope.from, QStringLiteral("message_service"));
    QCOMPARE(answer->envelope.error_code, qint64(0));
    QVERIFY(answer->envelope.error_string.isEmpty());

    const QRegularExpression shape(QStringLiteral("^\\{\"key\":(\".*\"),\"num\":(\\d+),\"str\":\"\"\\}$"));
    const QRegularExpressionMatch match = shape.match(answer->envelope.data);
    QVERIFY2(match.hasMatch(), qPrintable(answer->envelope.data));
    QCOMPARE(QJsonDocument::fromJson(answer->envelope.data.toUtf8()).object().value("key").toString(), key);
    const qint64 num = match.captured(2).toLongLong();
    if (statPath.isEmpty()) {
        QCOMPARE(num, qint64(0));
    } else {
        struct statvfs info
        {
        };
        QCOMPARE(statvfs(QFile::encodeName(statPath).constData(), &info), 0);
        const qint64 reference =
            static_cast<qint64>((static_cast<quint64>(info.f_bfree) * info.f_frsize) >> 20);
        QVERIFY2(qAbs(num - reference) <= 256,
                 qPrintable(QStringLiteral("%1 vs %2").arg(num).arg(reference)));
    }
}

void tst_AbilitySystemInfoTool::backToBackQueriesAnswerSeparatelyOnTheMainThread()
{
    HubCapture hub;
    AbilitySystemInfoTool ability;
    const JsonCommand first = MakeRequest(QStringLiteral("query_cpu"));
    const JsonCommand second = MakeRequest(QStringLiteral("query_memory"));
    const JsonCommand third = MakeRequest(QStringLiteral("query_cpu"));
    QVERIFY(ability.DealCommand(first));
    QVERIFY(ability.DealCommand(second));
    QVERIFY(ability.DealCommand(third));
    QVERIFY(QTest::qWaitFor(
        [&] {
            return hub.ForGuid(first.guid).size() + hub.ForGuid(second.guid).size() +
                       hub.ForGuid(third.guid).size() ==
                   3;
        },
        30000));
    QList<Delivery> cpuAnswers;
    for (const JsonCommand& request : {first, second, third}) {
        const QList<Delivery> answers = hub.ForGuid(request.guid);
        QCOMPARE(answers.size(), 1);
        const Delivery& d = answers.first();
        QVERIFY(d.onMainThread);
        QCOMPARE(d.envelope.userdata, request.userdata);
        QCOMPARE(d.envelope.command, request.command);
        const QJsonObject body = QJsonDocument::fromJson(d.envelope.data.toUtf8()).object();
        QCOMPARE(body.keys(), (QStringList{"key", "num", "str"}));
        QVERIFY(body.value("num").toInt() >= 0 && body.value("num").toInt() <= 100);
        if (request.command == QLatin1String("query_cpu"))
            cpuAnswers.append(d);
    }
    // Each processor reading holds the query lock for its whole second, so the two cannot overlap.
    QVERIFY(qAbs(cpuAnswers.at(0).atMs - cpuAnswers.at(1).atMs) >= 900);
}

void tst_AbilitySystemInfoTool::topProcessAnswerIsAnArrayInKeyOrder()
{
    HubCapture hub;
    AbilitySystemInfoTool ability;
    const JsonCommand request = MakeRequest(QStringLiteral("query_top_process"));
    QVERIFY(ability.DealCommand(request));
    const auto answer = hub.WaitFor(request.guid, 15000);
    QVERIFY(answer);
    const QJsonObject body = QJsonDocument::fromJson(answer->envelope.data.toUtf8()).object();
    QCOMPARE(body.value("key").toString(), QString());
    QCOMPARE(body.value("num").toInt(), 0);
    const QString str = body.value("str").toString();
    QVERIFY(str.startsWith(QLatin1Char('[')));
    const QJsonArray list = QJsonDocument::fromJson(str.toUtf8()).array();
    const QRegularExpression item(
        QStringLiteral("\\{\"cpu\":\\d+,\"mem\":\\d+,\"name\":\"[^\"]*\",\"pid\":\\d+\\}"));
    QCOMPARE(str.count(item), list.size());
    int previous = -1;
    for (const QJsonValue& v : list) {
        const int cpu = v.toObject().value("cpu").toInt();
        QVERIFY(cpu >= previous);
        QVERIFY(cpu > 0 || v.toObject().value("mem").toInt() > 100);
        previous = cpu;
    }
}

void tst_AbilitySystemInfoTool::hardwareAnswerCarriesTheText()
{
    HubCapture hub;
    AbilitySystemInfoTool ability;
    const JsonCommand request = MakeRequest(QStringLiteral("query_hardware"));
    QVERIFY(ability.DealCommand(request));
    const auto answer = hub.WaitFor(request.guid, 4 * 30000 + 5000);
    QVERIFY(answer);
    const QJsonObject body = QJsonDocument::fromJson(answer->envelope.data.toUtf8()).object();
    QCOMPARE(body.value("num").toInt(), 0);
    const QString text = body.value("str").toString();
    QVERIFY(text.startsWith(QStringLiteral("CPU: ")));
    QVERIFY(text.contains(QStringLiteral("\nMemory: ")));
    QVERIFY(text.contains(QStringLiteral("\nGPU: ")));
    QVERIFY(text.contains(QStringLiteral("\nSystem Information: ")));
}

void tst_AbilitySystemInfoTool::releasedWhileQueryRuns()
{
    HubCapture hub;
    auto ability = std::make_unique<AbilitySystemInfoTool>();
    const JsonCommand request = MakeRequest(QStringLiteral("query_cpu"));
    QVERIFY(ability->DealCommand(request));
    ability.reset();
    // The worker ends after its second of sampling; with no ability left it answers nobody.
    QTest::qWait(1500);
    QVERIFY(hub.ForGuid(request.guid).isEmpty());
}

void tst_AbilitySystemInfoTool::queriesWaitingTogetherShareOneMeasurement()
{
    HubCapture hub;
    AbilitySystemInfoTool ability;
    const int threadsBefore = ThreadCount();
    QList<JsonCommand> requests;
    for (int i = 0; i < 200; ++i) {
        requests.append(MakeRequest(QStringLiteral("query_cpu")));
        QVERIFY(ability.DealCommand(requests.last()));
    }
    // The first is measured at once; the 199 that came meanwhile share the next measurement.
    int mostThreads = threadsBefore;
    const auto answered = [&] {
        mostThreads = qMax(mostThreads, ThreadCount());
        for (const JsonCommand& request : requests)
            if (hub.ForGuid(request.guid).isEmpty())
                return false;
        return true;
    };
    QVERIFY(QTest::qWaitFor(answered, 20000));
    QCOMPARE(ability.Measurements(), 2);
    QVERIFY2(mostThreads - threadsBefore <= 32, qPrintable(QString::number(mostThreads - threadsBefore)));
    for (const JsonCommand& request : requests) {
        const QList<Delivery> answers = hub.ForGuid(request.guid);
        QCOMPARE(answers.size(), 1);
        QCOMPARE(answers.first().envelope.userdata, request.userdata);
        QCOMPARE(answers.first().envelope.error_code, qint64(0));
        QVERIFY2(QRegularExpression(QStringLiteral("^\\{\"key\":\"\",\"num\":\\d+,\"str\":\"\"\\}$"))
                     .match(answers.first().envelope.data)
                     .hasMatch(),
                 qPrintable(answers.first().envelope.data));
    }
}

void tst_AbilitySystemInfoTool::waitingQueriesAreBounded()
{
    HubCapture hub;
    AbilitySystemInfoTool ability;
    // One measured, the rest waiting for the next measurement up to the bound.
    QVERIFY(ability.DealCommand(MakeRequest(QStringLiteral("query_memory"))));
    for (size_t i = 0; i < AbilitySystemInfoTool::kMaxWaitingQueries; ++i)
        QVERIFY(ability.DealCommand(
            MakeRequest(i % 2 ? QStringLiteral("query_memory") : QStringLiteral("query_cpu"))));
    // Refused: the ability answers it -4 at once.
    const JsonCommand over = MakeRequest(QStringLiteral("query_cpu"));
    QVERIFY(ability.DealCommand(over));
    QVERIFY(ability.Measurements() <= 3);
    const auto refusal = hub.WaitFor(over.guid, 5000);
    QVERIFY(refusal);
    QCOMPARE(refusal->envelope.command, over.command);
    QCOMPARE(refusal->envelope.error_code, qint64(Envelope::kAbilityNotDealt));
}

void tst_AbilitySystemInfoTool::sameGuidWhileWaitingIsRefused()
{
    // A waiting query is named by its guid: another under the same guid is answered -4 at once,
    // and the first still gets its answer.
    HubCapture hub;
    AbilitySystemInfoTool ability;
    const JsonCommand first = MakeRequest(QStringLiteral("query_memory"));
    JsonCommand again = MakeRequest(QStringLiteral("query_cpu"));
    again.guid = first.guid;
    QVERIFY(ability.DealCommand(first));
    QVERIFY(ability.DealCommand(again));
    QVERIFY(QTest::qWaitFor([&] { return hub.ForGuid(first.guid).size() == 2; }, 10000));
    QStringList answers;
    for (const Delivery& answer : hub.ForGuid(first.guid))
        answers.append(answer.envelope.command + QLatin1Char(' ') +
                       QString::number(answer.envelope.error_code));
    QCOMPARE(answers, (QStringList{"query_cpu -4", "query_memory 0"}));
}

QTEST_GUILESS_MAIN(tst_AbilitySystemInfoTool)
#include "tst_AbilitySystemInfoTool.moc"
