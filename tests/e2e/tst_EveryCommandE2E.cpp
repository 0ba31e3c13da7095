// Every command of the service once through each transport, with the answer a client would act
// on. ./test --windows runs it against the Windows build under Wine as well.
#include "tests/support/HttpTestServer.h"
#include "tests/support/ServiceHarness.h"
#include "tests/support/TestEnvelope.h"
#include "tests/support/TestFiles.h"
#include "tests/support/WsTestClient.h"
#include "tests/support/ZmqTestClient.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QString Json(const QJsonObject& _obj)
{
    return QString::fromUtf8(QJsonDocument(_obj).toJson(QJsonDocument::Compact));
}

QString Addresses(const QString& _qstrUrl)
{
    const QJsonArray list{QJsonObject{{QStringLiteral("url"), _qstrUrl}, {QStringLiteral("result"), 0}}};
    return QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
}

} // namespace

class tst_EveryCommandE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void answered_data();
    void answered();
    void processesStartedFoundAndStopped_data();
    void processesStartedFoundAndStopped();

private:
    // The envelopes of one request through the named transport, up to its final answer (for a
    // command that answers nothing, only the hub's acknowledgement).
    QList<JsonCommand> Ask(const QString& _qstrTransport, const QString& _qstrCommand,
                           const QString& _qstrData, const QString& _qstrReply, int _nTimeoutMs = 30000);
    QString Path(const QString& _qstrName) const { return m_work.path() + QLatin1Char('/') + _qstrName; }
    // The same path as the client names it to the service.
    QString Named(const QString& _qstrName) const { return servicePath(Path(_qstrName)); }

    std::unique_ptr<ServiceProcess> m_pService;
    std::unique_ptr<ZmqTestClient> m_pZmq;
    std::unique_ptr<WsTestClient> m_pWs;
    HttpTestServer m_http;
    QTemporaryDir m_work;
};

void tst_EveryCommandE2E::initTestCase()
{
    QVERIFY(m_work.isValid());
    // The public probe asks the test's own server, briefly, rather than the configured site.
    m_pService = std::make_unique<ServiceProcess>(QMap<QString, QString>{
        {QStringLiteral("network/publicNetworkUrl"), m_http.Url(QStringLiteral("/f/payload.bin"))},
        {QStringLiteral("network/probeTimeoutSeconds"), QStringLiteral("5")}});
    QVERIFY2(m_pService->start(), qPrintable(m_pService->errorString()));
    m_pZmq = std::make_unique<ZmqTestClient>(QStringLiteral("every_zmq"), m_pService->zmqPort());
    QVERIFY(m_pZmq->login());
    m_pWs = std::make_unique<WsTestClient>(QStringLiteral("every_ws"), m_pService->wsPort());
    QVERIFY(m_pWs->login());

    m_http.Add(QStringLiteral("payload.bin"), HttpTestServer::Pattern(200000));
    WriteTree(Path(QStringLiteral("src")),
              {{QStringLiteral("/a.txt"), "new a"}, {QStringLiteral("/sub/b.txt"), "b"}});
    WriteTree(Path(QStringLiteral("dst")), {{QStringLiteral("/a.txt"), "old a"}});
    QProcess zip;
    zip.setWorkingDirectory(Path(QStringLiteral("src")));
    zip.start(QStringLiteral("zip"),
              {QStringLiteral("-qr"), Path(QStringLiteral("archive.zip")), QStringLiteral(".")});
    QVERIFY(zip.waitForFinished(30000) && zip.exitCode() == 0);
}

void tst_EveryCommandE2E::cleanupTestCase()
{
    m_pZmq.reset();
    m_pWs.reset();
    if (m_pService)
        m_pService->stop();
}

QList<JsonCommand> tst_EveryCommandE2E::Ask(const QString& _qstrTransport, const QString& _qstrCommand,
                                            const QString& _qstrData, const QString& _qstrReply,
                                            int _nTimeoutMs)
{
    const JsonCommand request = makeCommand(QStringLiteral("command"), _qstrCommand, _qstrData);
    const bool zmq = _qstrTransport == QLatin1String("zmq");
    if (!(zmq ? m_pZmq->send(request) : m_pWs->send(request)))
        return {};
    // A silent command ends with the hub's acknowledgement; the others with their answer.
    const auto isFinal = [&](const JsonCommand& _c) {
        if (_qstrReply == QLatin1String("silent"))
            return _c.type == QLatin1String("command_ret");
        if (_c.type != QLatin1String("transfer"))
            return _c.error_code < 0;
        return _qstrReply == QLatin1String("single") || isFinalResult(_c);
    };
    return zmq ? m_pZmq->collectUntil(request.guid, isFinal, _nTimeoutMs)
               : m_pWs->collectUntil(request.guid, isFinal, _nTimeoutMs);
}

void tst_EveryCommandE2E::answered_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<qint64>("code");
    QTest::addColumn<QString>("answer"); // what the answer's data or text holds

    const QString md5 = QString::fromLatin1(
        QCryptographicHash::hash(HttpTestServer::Pattern(200000), QCryptographicHash::Md5).toHex());
    const QString wsOrigin = m_http.Url(QStringLiteral("/f/payload.bin"));
    const QString unknownTask = QStringLiteral("task not exist");
    struct Row
    {
        const char* name;
        QString command, data, reply;
        qint64 code;
        QString answer;
    };
    const QList<Row> rows = {
        {"download", "download",
         Json({{"from", wsOrigin}, {"to", Named(QStringLiteral("dl/%1/payload.bin"))}, {"extra", md5}}),
         "progress", 100, "finish"},
        {"stop_download", "stop_download", "", "single", 104, unknownTask},
        {"unzip", "unzip",
         Json({{"from", Named("archive.zip")}, {"to", Named(QStringLiteral("unzipped/%1"))}}), "progress",
         100, "finish"},
        {"stop_unzip", "stop_unzip", "", "single", 104, unknownTask},
        {"replace", "replace",
         Json({{"from", Named("src")}, {"to", Named("dst")}, {"extra", Named(QStringLiteral("backup/%1"))}}),
         "progress", 100, "finish"},
        {"stop_replace", "stop_replace", "", "single", 104, unknownTask},
        {"pre_uninst", "pre_uninst", Json({{"appid", ""}, {"processName", ""}}), "single", 103, ""},
        {"update", "update", Json({{"appid", ""}}), "progress", 103, ""},
        {"stop_update", "stop_update", "", "single", 104, unknownTask},
        {"query_hardware", "query_hardware", "", "single", 0, "Memory"},
        {"query_disk_space", "query_disk_space", Json({{"key", servicePath(m_work.path())}}), "single", 0,
         "num"},
        {"query_cpu", "query_cpu", "", "single", 0, "num"},
        {"query_memory", "query_memory", "", "single", 0, "num"},
        {"query_top_process", "query_top_process", "", "single", 0, "num"},
        {"query_proc", "query_proc", "no-such-program-here.exe", "single", 101, ""},
        // Offscreen there is no screen to take: the failure comes as code 100.
        {"snap_shot_fullscreen", "snap_shot_fullscreen", "", "single", 100, "\"bSucc\":false"},
        {"count_down", "count_down", "0", "single", 0, ""},
        {"command_custom_toast", "command_custom_toast",
         Json({{"message", "every command"}, {"timeRemain", 500}, {"position", "top"}}), "silent", 0, ""},
        {"command_show_tips_view", "command_show_tips_view", Json({{"show_time", 1}}), "silent", 0, ""},
        {"public_network", "public_network", Addresses(m_http.Url(QStringLiteral("/f/payload.bin"))),
         "single", 0, "result"},
        {"get_interface", "get_interface", Addresses(m_http.Url(QStringLiteral("/f/payload.bin"))), "single",
         0, "result"},
        {"post_interface", "post_interface", Addresses(m_http.Url(QStringLiteral("/f/payload.bin"))),
         "single", 0, "result"},
    };
    for (const char* transport : {"zmq", "websocket"})
        for (const Row& row : rows)
            QTest::addRow("%s over %s", row.name, transport)
                << row.command << QString(row.data).replace(QStringLiteral("%1"), QLatin1String(transport))
                << row.reply << row.code << row.answer;
}

void tst_EveryCommandE2E::answered()
{
    QFETCH(QString, command);
    QFETCH(QString, data);
    QFETCH(QString, reply);
    QFETCH(qint64, code);
    QFETCH(QString, answer);
    const QString transport = QString::fromLatin1(QTest::currentDataTag()).section(QLatin1Char(' '), -1);

    const QList<JsonCommand> got = Ask(transport, command, data, reply);
    QVERIFY2(!got.isEmpty(), "no answer within the bound");
    const JsonCommand& last = got.last();
    QVERIFY2(last.error_code == code, qPrintable(last.ToString()));
    if (!answer.isEmpty())
        QVERIFY2(last.data.contains(answer) || last.error_string.contains(answer),
                 qPrintable(last.ToString()));
    // Progress only rises.
    int percent = -1;
    for (const JsonCommand& step : got) {
        const int now =
            QJsonDocument::fromJson(step.data.toUtf8()).object().value(QStringLiteral("percent")).toInt(-1);
        QVERIFY(now < 0 || now >= percent);
        percent = qMax(percent, now);
    }
    if (command == QLatin1String("download"))
        QCOMPARE(ReadFile(Path(QStringLiteral("dl/%1/payload.bin").arg(transport))),
                 HttpTestServer::Pattern(200000));
    if (command == QLatin1String("unzip"))
        QCOMPARE(ReadFile(Path(QStringLiteral("unzipped/%1/sub/b.txt").arg(transport))), QByteArray("b"));
    if (command == QLatin1String("replace"))
        QCOMPARE(ReadFile(Path(QStringLiteral("dst/a.txt"))), QByteArray("new a"));
}

void tst_EveryCommandE2E::processesStartedFoundAndStopped_data()
{
    QTest::addColumn<QString>("transport");
    QTest::newRow("zmq") << "zmq";
    QTest::newRow("websocket") << "websocket";
}

void tst_EveryCommandE2E::processesStartedFoundAndStopped()
{
    QFETCH(QString, transport);
    // A program that waits until it is ended: the tests' probe child on Linux, Wine's notepad
    // (shown offscreen by nobody) for the Windows build.
    const QString program = serviceWine().isEmpty() ? Path(QStringLiteral("waiter-") + transport)
                                                    : QStringLiteral("C:/windows/notepad.exe");
    if (serviceWine().isEmpty())
        QVERIFY(QFile::copy(QStringLiteral(QORV_PROBE_CHILD), program));
    const QString name = QFileInfo(program).fileName();
    const auto found = [&]() {
        const QList<JsonCommand> got =
            Ask(transport, QStringLiteral("query_proc"), name, QStringLiteral("single"));
        return got.isEmpty() ? -1 : got.last().error_code;
    };

    QVERIFY(!Ask(transport, QStringLiteral("start_proc"), program, QStringLiteral("silent")).isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(found(), 100LL, 20000);
    QVERIFY(!Ask(transport, QStringLiteral("keep_proc"), program, QStringLiteral("silent")).isEmpty());
    QVERIFY(!Ask(transport, QStringLiteral("stop_proc"), name, QStringLiteral("silent")).isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(found(), 101LL, 20000);
}

QTEST_GUILESS_MAIN(tst_EveryCommandE2E)
#include "tst_EveryCommandE2E.moc"
