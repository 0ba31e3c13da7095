// The ability framework without sockets: which commands an ability owns, what a handler's value
// becomes, and one task's life in its table: progress, exactly one answer, stops that wait for
// nothing, and the registry listing only what runs.
#include "core/AbilityTable.h"
#include "core/TaskRegistry.h"
#include "tests/support/HubCapture.h"

#include <QPointer>
#include <QtTest>

namespace {

class FakeTask : public Task
{
public:
    void start() override { ++nStarts; }
    void requestStop() override
    {
        ++nStops;
        MarkStopRequested();
    }
    void Progress(double _dPercent, const QString& _qstrStatus = QString())
    {
        Report(_dPercent, _qstrStatus);
    }
    void End(TaskResult _result) { Finish(std::move(_result)); }

    int nStarts = 0;
    int nStops = 0;
};

// Answers "ask" now, refuses "busy", starts a FakeTask for "work" and "other", and says nothing to
// "quiet"; "stop_work" stops a "work" task.
class FakeAbility : public AbilityTable<FakeAbility>
{
public:
    explicit FakeAbility(TaskTable::Style _style) : AbilityTable(kRows, std::move(_style)) {}

    QPointer<FakeTask> last;

private:
    Handled Ask(const JsonCommand& _request)
    {
        return Handled::Answer(7, QStringLiteral("asked"), _request.data);
    }
    Handled Busy(const JsonCommand&) { return Handled::Refused(-4, QStringLiteral("busy")); }
    Handled Quiet(const JsonCommand&) { return Handled::Quiet(); }
    Handled Work(const JsonCommand&)
    {
        auto task = std::make_unique<FakeTask>();
        last = task.get();
        return Handled::Started(std::move(task));
    }

    static const std::vector<Row> kRows;
};

const std::vector<FakeAbility::Row> FakeAbility::kRows = {
    {"ask", &FakeAbility::Ask, ReplyKind::Single, {7}},
    {"busy", &FakeAbility::Busy, ReplyKind::Single, {0}},
    {"quiet", &FakeAbility::Quiet, ReplyKind::Silent, {}},
    {"work", &FakeAbility::Work, ReplyKind::Progress, {100}, "stop_work"},
    {"other", &FakeAbility::Work, ReplyKind::Progress, {100}},
    FakeAbility::Row::Stop("stop_work", "work"),
};

TaskTable::Style Unfiltered()
{
    TaskTable::Style style;
    style.progressBody = [](double _dPercent, const QString& _qstrStatus) {
        return QStringLiteral("%1 %2").arg(_dPercent).arg(_qstrStatus);
    };
    style.notExistData = QStringLiteral("none");
    return style;
}

bool Listed(const QString& _qstrGuid)
{
    for (const TaskRegistry::Task& task : TaskRegistry::Instance().Snapshot())
        if (task.guid == _qstrGuid)
            return true;
    return false;
}

} // namespace

class tst_AbilityTable : public QObject
{
    Q_OBJECT
private slots:
    void init() { m_hub.Clear(); }
    void ownsExactlyItsCommands_data();
    void ownsExactlyItsCommands();
    void taskReportsThenAnswersOnce();
    void filteredProgressSendsOnlyLargeSteps();
    void stopFreesTheGuidAndTheStoppedTaskEndsUnanswered();
    void stopNamingNoTaskOfItsKindIsAnswered104_data();
    void stopNamingNoTaskOfItsKindIsAnswered104();
    void destroyingTheAbilityIgnoresLateEnds();
    void aGuidInUseIsRefusedAndTheRunningTaskKeepsIt();

private:
    QList<JsonCommand> Answers(const QString& _qstrGuid, int _nAtLeast)
    {
        if (!QTest::qWaitFor([&] { return m_hub.ForGuid(_qstrGuid).size() >= _nAtLeast; }, 5000))
            qWarning() << "fewer answers than expected for" << _qstrGuid;
        QCoreApplication::processEvents();
        return Envelopes(m_hub.ForGuid(_qstrGuid));
    }

    HubCapture m_hub;
};

void tst_AbilityTable::ownsExactlyItsCommands_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("owned");
    QTest::addColumn<qint64>("code"); // of the one answer; 1: no answer
    QTest::addColumn<QString>("text");
    QTest::newRow("answered") << "command"
                              << "ask" << true << qint64(7) << "asked";
    // Refused is still owned: no other ability may take it and answer again.
    QTest::newRow("refused") << "command"
                             << "busy" << true << qint64(-4) << "busy";
    QTest::newRow("silent") << "command"
                            << "quiet" << true << qint64(1) << "";
    QTest::newRow("not listed") << "command"
                                << "nope" << false << qint64(1) << "";
    QTest::newRow("answer type") << "transfer"
                                 << "ask" << false << qint64(1) << "";
}

void tst_AbilityTable::ownsExactlyItsCommands()
{
    QFETCH(QString, type);
    QFETCH(QString, command);
    QFETCH(bool, owned);
    QFETCH(qint64, code);
    QFETCH(QString, text);
    FakeAbility ability(Unfiltered());
    const JsonCommand request = MakeRequest(command, QStringLiteral("d"), type);
    QCOMPARE(ability.DealCommand(request), owned);
    const QList<JsonCommand> answers = Envelopes(m_hub.ForGuid(request.guid));
    QCOMPARE(answers.size(), code == 1 ? 0 : 1);
    if (code != 1) {
        QCOMPARE(answers[0].error_code, code);
        QCOMPARE(answers[0].error_string, text);
        QCOMPARE(answers[0].command, command);
    }
}

void tst_AbilityTable::taskReportsThenAnswersOnce()
{
    FakeAbility ability(Unfiltered());
    const JsonCommand request = MakeRequest(QStringLiteral("work"));
    QVERIFY(ability.DealCommand(request));
    QPointer<FakeTask> task = ability.last;
    QCOMPARE(task->nStarts, 1);
    QVERIFY(Listed(request.guid));
    task->Progress(12.5, QStringLiteral("stage"));
    task->End({100, QStringLiteral("finish"), QStringLiteral("done"), {}});
    task->End({101, QStringLiteral("late failure"), QString(), {}}); // a second end never reaches anyone
    const QList<JsonCommand> answers = Answers(request.guid, 2);
    QCOMPARE(answers.size(), 2);
    QCOMPARE(answers[0].error_code, qint64(0));
    QCOMPARE(answers[0].data, QStringLiteral("12.5 stage"));
    QCOMPARE(answers[1].error_code, qint64(100));
    QCOMPARE(answers[1].data, QStringLiteral("done"));
    QVERIFY(!Listed(request.guid));
    QTRY_VERIFY_WITH_TIMEOUT(task.isNull(), 5000); // the table destroyed it
}

void tst_AbilityTable::filteredProgressSendsOnlyLargeSteps()
{
    TaskTable::Style style = Unfiltered();
    style.filtered = true; // the default filter: more than 1 point
    FakeAbility ability(style);
    const JsonCommand request = MakeRequest(QStringLiteral("work"));
    ability.DealCommand(request);
    for (double percent : {0.0, 3.0, 5.0, 6.0, 8.0, 11.5, 100.0})
        ability.last->Progress(percent);
    ability.last->End({100, QString(), QString(), {}});
    QStringList sent;
    for (const JsonCommand& answer : Answers(request.guid, 6))
        if (answer.error_code == 0)
            sent.append(answer.data.trimmed());
    QCOMPARE(sent, QStringList({"3", "5", "8", "11.5", "100"}));
}

void tst_AbilityTable::stopFreesTheGuidAndTheStoppedTaskEndsUnanswered()
{
    FakeAbility ability(Unfiltered());
    const JsonCommand request = MakeRequest(QStringLiteral("work"));
    ability.DealCommand(request);
    QPointer<FakeTask> stopped = ability.last;
    JsonCommand stop = MakeRequest(QStringLiteral("stop_work"));
    stop.guid = request.guid;
    QVERIFY(ability.DealCommand(stop));
    QCOMPARE(stopped->nStops, 1);
    QVERIFY(!Listed(request.guid));
    // The guid names a new task at once, while the stopped one still ends its work.
    ability.DealCommand(request);
    QPointer<FakeTask> fresh = ability.last;
    QVERIFY(fresh != stopped);
    stopped->Progress(50);
    stopped->End({100, QStringLiteral("finish"), QStringLiteral("old"), {}});
    QTRY_VERIFY_WITH_TIMEOUT(stopped.isNull(), 5000);
    QVERIFY(m_hub.ForGuid(request.guid).isEmpty());
    fresh->End({100, QStringLiteral("finish"), QStringLiteral("new"), {}});
    const QList<JsonCommand> answers = Answers(request.guid, 1);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].data, QStringLiteral("new"));
}

void tst_AbilityTable::stopNamingNoTaskOfItsKindIsAnswered104_data()
{
    QTest::addColumn<QString>("running"); // the command running under the stop's guid; empty: none
    QTest::newRow("no task") << "";
    QTest::newRow("task of another kind") << "other";
}

void tst_AbilityTable::stopNamingNoTaskOfItsKindIsAnswered104()
{
    QFETCH(QString, running);
    FakeAbility ability(Unfiltered());
    JsonCommand stop = MakeRequest(QStringLiteral("stop_work"));
    if (!running.isEmpty()) {
        JsonCommand request = MakeRequest(running);
        request.guid = stop.guid;
        ability.DealCommand(request);
        m_hub.Clear();
    }
    QVERIFY(ability.DealCommand(stop));
    const QList<JsonCommand> answers = Envelopes(m_hub.ForGuid(stop.guid));
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].error_code, qint64(104));
    QCOMPARE(answers[0].command, QStringLiteral("stop_work"));
    QCOMPARE(answers[0].data, QStringLiteral("none"));
    if (!running.isEmpty()) {
        QCOMPARE(ability.last->nStops, 0);
        QVERIFY(Listed(stop.guid));
    }
}

void tst_AbilityTable::destroyingTheAbilityIgnoresLateEnds()
{
    const JsonCommand request = MakeRequest(QStringLiteral("work"));
    QPointer<FakeTask> task;
    {
        FakeAbility ability(Unfiltered());
        ability.DealCommand(request);
        task = ability.last;
        task->End({100, QString(), QString(), {}}); // queued, not yet delivered
    }
    QVERIFY(task.isNull());
    QCoreApplication::processEvents();
    QVERIFY(m_hub.ForGuid(request.guid).isEmpty());
    QVERIFY(!Listed(request.guid));
}

void tst_AbilityTable::aGuidInUseIsRefusedAndTheRunningTaskKeepsIt()
{
    FakeAbility ability(Unfiltered());
    const JsonCommand request = MakeRequest(QStringLiteral("work"));
    ability.DealCommand(request);
    QPointer<FakeTask> running = ability.last;
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("a task with this guid is running, refused"));
    ability.DealCommand(request);
    QVERIFY(ability.last.isNull()); // the second task was dropped unstarted
    running->End({100, QStringLiteral("finish"), QStringLiteral("first"), {}});
    const QList<JsonCommand> answers = Answers(request.guid, 2);
    QCOMPARE(answers.size(), 2);
    QCOMPARE(answers[0].error_code, qint64(-4));
    QCOMPARE(answers[1].data, QStringLiteral("first"));
}

QTEST_GUILESS_MAIN(tst_AbilityTable)
#include "tst_AbilityTable.moc"
