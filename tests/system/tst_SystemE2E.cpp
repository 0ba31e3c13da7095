// The system information and process commands through the running service, as a client sees them.
#include "tests/support/ServiceHarness.h"
#include "tests/system/ProbeChildren.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>
#include <sys/statvfs.h>

namespace {

QJsonObject BodyOf(const JsonCommand& _jsonCommand)
{
    return QJsonDocument::fromJson(_jsonCommand.data.toUtf8()).object();
}

} // namespace

class tst_SystemE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void queriesAnswerInTheirShape_data();
    void queriesAnswerInTheirShape();
    void diskSpaceAgreesWithStatvfs();
    void topProcessListsBusyAndLargeChildren();
    void backToBackCpuQueriesEachGetTheirAnswer();
    void queryProcFindsChildInOtherCase();
    void keepProcRestartsUntilStopped();
    void stopProcWithWildcardKillsNothing();

private:
    // Sends a command and returns its "transfer" answer (after the hub's "command_ret" "ok").
    std::optional<JsonCommand> Ask(const QString& _qstrCommand, const QString& _qstrData,
                                   int _nTimeoutMs = 15000);

    std::unique_ptr<ServiceProcess> m_pService;
    std::unique_ptr<WsTestClient> m_pClient;
};

void tst_SystemE2E::initTestCase()
{
    m_pService = std::make_unique<ServiceProcess>();
    QVERIFY2(m_pService->start(), qPrintable(m_pService->errorString()));
    m_pClient = std::make_unique<WsTestClient>(QStringLiteral("system_e2e"), m_pService->wsPort());
    QVERIFY(m_pClient->login());
}

void tst_SystemE2E::cleanupTestCase()
{
    m_pClient.reset();
    if (m_pService)
        m_pService->stop();
}

std::optional<JsonCommand> tst_SystemE2E::Ask(const QString& _qstrCommand, const QString& _qstrData,
                                              int _nTimeoutMs)
{
    JsonCommand request = makeCommand(QStringLiteral("command"), _qstrCommand, _qstrData);
    request.userdata = QStringLiteral("ud:") + _qstrCommand;
    if (!m_pClient->send(request))
        return std::nullopt;
    const auto ack = m_pClient->waitFor([&](const JsonCommand& c) {
        return c.guid == request.guid && c.type == QLatin1String("command_ret");
    });
    if (!ack || ack->data != QLatin1String("ok") || ack->error_code != 0)
        return std::nullopt;
    const auto answer = m_pClient->waitFor(
        [&](const JsonCommand& c) { return c.guid == request.guid && c.type == QLatin1String("transfer"); },
        _nTimeoutMs);
    if (answer && answer->userdata != request.userdata)
        return std::nullopt;
    return answer;
}

void tst_SystemE2E::queriesAnswerInTheirShape_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("key");
    QTest::newRow("hardware") << "query_hardware"
                              << ""
                              << "";
    QTest::newRow("disk space of nothing") << "query_disk_space"
                                           << "not json"
                                           << "";
    QTest::newRow("disk space of a missing path") << "query_disk_space"
                                                  << "{\"key\":\"Z:\\\\\"}"
                                                  << "Z:\\";
    QTest::newRow("cpu") << "query_cpu"
                         << ""
                         << "";
    QTest::newRow("memory") << "query_memory"
                            << ""
                            << "";
    QTest::newRow("top process") << "query_top_process"
                                 << ""
                                 << "";
}

void tst_SystemE2E::queriesAnswerInTheirShape()
{
    QFETCH(QString, command);
    QFETCH(QString, data);
    QFETCH(QString, key);
    const auto answer = Ask(command, data, 4 * 30000 + 10000);
    QVERIFY(answer);
    QCOMPARE(answer->from, QStringLiteral("message_service"));
    QCOMPARE(answer->to, QStringList{m_pClient->name()});
    QCOMPARE(answer->error_code, qint64(0));
    QVERIFY(answer->data.startsWith(QStringLiteral("{\"key\":")));
    QVERIFY(answer->data.indexOf(QStringLiteral(",\"num\":")) <
            answer->data.indexOf(QStringLiteral(",\"str\":")));
    const QJsonObject body = BodyOf(*answer);
    QCOMPARE(body.value("key").toString(), key);
    const int num = body.value("num").toInt(-1);
    const QString str = body.value("str").toString();
    if (command == QLatin1String("query_hardware")) {
        QCOMPARE(num, 0);
        QVERIFY(str.startsWith(QStringLiteral("CPU: ")) &&
                str.contains(QStringLiteral("\nSystem Information: ")));
    } else if (command == QLatin1String("query_disk_space")) {
        QCOMPARE(num, 0);
        QVERIFY(str.isEmpty());
    } else if (command == QLatin1String("query_top_process")) {
        QCOMPARE(num, 0);
        QVERIFY(QJsonDocument::fromJson(str.toUtf8()).isArray());
    } else {
        QVERIFY(num >= 0 && num <= 100);
        QVERIFY(str.isEmpty());
    }
}

void tst_SystemE2E::diskSpaceAgreesWithStatvfs()
{
    const QString path = QDir::tempPath();
    QJsonObject request;
    request.insert(QStringLiteral("key"), path);
    const auto answer = Ask(QStringLiteral("query_disk_space"),
                            QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact)));
    QVERIFY(answer);
    struct statvfs info
    {
    };
    QCOMPARE(statvfs(QFile::encodeName(path).constData(), &info), 0);
    const qint64 reference = static_cast<qint64>((static_cast<quint64>(info.f_bfree) * info.f_frsize) >> 20);
    const QJsonObject body = BodyOf(*answer);
    QCOMPARE(body.value("key").toString(), path);
    const qint64 num = body.value("num").toInt();
    QVERIFY2(qAbs(num - reference) <= 256, qPrintable(QStringLiteral("%1 vs %2").arg(num).arg(reference)));
}

void tst_SystemE2E::topProcessListsBusyAndLargeChildren()
{
    ProbeChildren children;
    const QList<qint64> busy = children.start(children.makeProgram(QStringLiteral("qorv_busy")), {"busy"});
    const QList<qint64> hold =
        children.start(children.makeProgram(QStringLiteral("qorv_hold")), {"hold", "200"});
    QVERIFY(!busy.isEmpty() && !hold.isEmpty());
    const auto answer = Ask(QStringLiteral("query_top_process"), QString());
    QVERIFY(answer);
    const QString str = BodyOf(*answer).value("str").toString();
    bool busySeen = false;
    bool holdSeen = false;
    for (const QJsonValue& v : QJsonDocument::fromJson(str.toUtf8()).array()) {
        const QJsonObject item = v.toObject();
        QCOMPARE(item.keys(), (QStringList{"cpu", "mem", "name", "pid"}));
        if (item.value("pid").toInt() == busy.first()) {
            busySeen = true;
            QVERIFY(item.value("cpu").toInt() > 0);
            QVERIFY(item.value("name").toString().startsWith(QStringLiteral("qorv_busy_")));
        }
        if (item.value("pid").toInt() == hold.first()) {
            holdSeen = true;
            QVERIFY(item.value("mem").toInt() > 100);
        }
    }
    QVERIFY2(busySeen && holdSeen, qPrintable(str));
}

void tst_SystemE2E::backToBackCpuQueriesEachGetTheirAnswer()
{
    JsonCommand first = makeCommand(QStringLiteral("command"), QStringLiteral("query_cpu"));
    JsonCommand second = makeCommand(QStringLiteral("command"), QStringLiteral("query_cpu"));
    first.userdata = QStringLiteral("first");
    second.userdata = QStringLiteral("second");
    QVERIFY(m_pClient->send(first));
    QVERIFY(m_pClient->send(second));
    QElapsedTimer timer;
    timer.start();
    auto transferOf = [](const JsonCommand& _request) {
        return [guid = _request.guid](const JsonCommand& c) {
            return c.guid == guid && c.type == QLatin1String("transfer");
        };
    };
    const auto a = m_pClient->waitFor(transferOf(first), 15000);
    const auto b = m_pClient->waitFor(transferOf(second), 15000);
    QVERIFY(a && b);
    QCOMPARE(a->userdata, QStringLiteral("first"));
    QCOMPARE(b->userdata, QStringLiteral("second"));
    // Measured one after the other, a second each.
    QVERIFY(timer.elapsed() >= 1900);
}

void tst_SystemE2E::queryProcFindsChildInOtherCase()
{
    ProbeChildren children;
    const QString path = children.makeProgram();
    QVERIFY(!children.start(path, {QStringLiteral("sleep")}).isEmpty());
    const QString name = QFileInfo(path).fileName();

    auto present = Ask(QStringLiteral("query_proc"), name.toUpper());
    QVERIFY(present);
    QCOMPARE(present->error_code, qint64(100));
    QCOMPARE(present->error_string, QStringLiteral("exist"));

    auto absent = Ask(QStringLiteral("query_proc"), name + QStringLiteral("_not"));
    QVERIFY(absent);
    QCOMPARE(absent->error_code, qint64(101));
    QCOMPARE(absent->error_string, QStringLiteral("not exist"));
}

void tst_SystemE2E::keepProcRestartsUntilStopped()
{
    ProbeChildren children;
    const QString path = children.makeProgram(QStringLiteral("qorv_kept"));
    const QString name = QFileInfo(path).fileName();
    auto send = [&](const QString& _qstrCommand, const QString& _qstrData) {
        const JsonCommand request = makeCommand(QStringLiteral("command"), _qstrCommand, _qstrData);
        return m_pClient->send(request) && m_pClient->waitFor([&](const JsonCommand& c) {
            return c.guid == request.guid && c.type == QLatin1String("command_ret") && c.error_code == 0;
        });
    };
    QVERIFY(send(QStringLiteral("keep_proc"), path));
    // One list per look: the program may come and go between two of them.
    QList<qint64> pids;
    QTRY_VERIFY_WITH_TIMEOUT((pids = pidsOfExecutable(name)).size() == 1, 10000);
    const qint64 first = pids.first();
    // Started by the service, yet not its child: it would outlive it.
    QVERIFY(first != m_pService->pid());

    ::kill(static_cast<pid_t>(first), SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT((pids = pidsOfExecutable(name)).size() == 1 && pids.first() != first, 20000);

    QVERIFY(send(QStringLiteral("stop_proc"), name));
    QTRY_VERIFY_WITH_TIMEOUT(pidsOfExecutable(name).isEmpty(), 5000);
    QTest::qWait(3000);
    QVERIFY(pidsOfExecutable(name).isEmpty());
    // The service is still there and answering.
    QVERIFY(Ask(QStringLiteral("query_proc"), name));
}

void tst_SystemE2E::stopProcWithWildcardKillsNothing()
{
    ProbeChildren children;
    const QString path = children.makeProgram();
    const QList<qint64> pids = children.start(path, {QStringLiteral("sleep")});
    QVERIFY(!pids.isEmpty());
    for (const QString& name : {QStringLiteral("*"), QStringLiteral("qorv*"), QStringLiteral("\"*\"")}) {
        const JsonCommand request = makeCommand(QStringLiteral("command"), QStringLiteral("stop_proc"), name);
        QVERIFY(m_pClient->send(request));
        QVERIFY(m_pClient->waitFor([&](const JsonCommand& c) { return c.guid == request.guid; }));
    }
    // A process query after the stops is answered only once they have been dealt with.
    QVERIFY(Ask(QStringLiteral("query_proc"), QFileInfo(path).fileName()));
    QVERIFY(isAlive(pids.first()));
    QVERIFY(m_pService->isRunning());
}

QTEST_GUILESS_MAIN(tst_SystemE2E)
#include "tst_SystemE2E.moc"
