#include "tests/support/HttpTestServer.h"
#include "tests/support/ServiceHarness.h"
#include "tests/support/FileMode.h"
#include "tests/support/TestFiles.h"
#include "tests/support/VendorKey.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <optional>

#include <unistd.h>

// "update", "pre_uninst" and "stop_update" through the running service: the handshake with the
// application in each of its outcomes, each stage failing, stops in each stage with the
// installation checked byte by byte, and folders of the user's that must survive.
namespace {

const Tree kInstalled{{"/a.txt", "old a"}, {"/keep.txt", "kept"}};

QByteArray RandomBytes(int _nSize, quint32 _nSeed)
{
    QByteArray bytes(_nSize, Qt::Uninitialized);
    QRandomGenerator generator(_nSeed);
    for (char& byte : bytes)
        byte = static_cast<char>(generator.generate());
    return bytes;
}

// Large files are named by their size, so a tree compares without reading them.
Tree ReadTree(const QString& _qstrRoot)
{
    Tree tree;
    QDirIterator it(_qstrRoot, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        file.open(QIODevice::ReadOnly);
        tree.insert(file.fileName().mid(_qstrRoot.length()),
                    file.size() > 1024 * 1024 ? "big:" + QByteArray::number(file.size()) : file.readAll());
    }
    return tree;
}

QJsonObject StatusOf(const JsonCommand& _jsonCommand)
{
    return QJsonDocument::fromJson(_jsonCommand.data.toUtf8()).object();
}

bool IsResult(const JsonCommand& _jsonCommand)
{
    return _jsonCommand.type == QLatin1String("transfer") && _jsonCommand.error_code != 0;
}

bool IsStage(const JsonCommand& _jsonCommand, const QString& _qstrGuid, const QString& _qstrStatus)
{
    return _jsonCommand.guid == _qstrGuid && _jsonCommand.type == QLatin1String("transfer") &&
           StatusOf(_jsonCommand).value("status").toString() == _qstrStatus;
}

// Another client's round trips to the hub, one after another, until _done() holds after one of
// them or the bound passes: how long the service kept it waiting meanwhile.
struct RoundTrips
{
    int count = 0;
    double worstMs = 0;
    qint64 elapsedMs = 0;
    bool allAnswered = true;
};

template <class Done> RoundTrips PingUntil(WsTestClient& _client, Done _done, int _nBoundMs)
{
    RoundTrips trips;
    QElapsedTimer elapsed;
    elapsed.start();
    do {
        const JsonCommand ping = makeCommand(QStringLiteral("query"), QStringLiteral("command_abilities"));
        QElapsedTimer trip;
        trip.start();
        if (!_client.send(ping) ||
            !_client.waitFor([&](const JsonCommand& _e) { return _e.guid == ping.guid; }, 30000)) {
            trips.allAnswered = false;
            break;
        }
        trips.worstMs = qMax(trips.worstMs, trip.nsecsElapsed() / 1e6);
        ++trips.count;
    } while (!_done() && elapsed.elapsed() < _nBoundMs);
    trips.elapsedMs = elapsed.elapsed();
    return trips;
}

} // namespace

class tst_AutoInstallE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void handshake_data();
    void handshake();
    void stageFailure_data();
    void stageFailure();
    void stopInEachStage_data();
    void stopInEachStage();
    void noZipAndDefaultPaths();
    void refusedRequests_data();
    void refusedRequests();
    void duplicateGuidAndStrayAnswers();
    void userFolderSurvives_data();
    void userFolderSurvives();
    void plantedSharedWorkFoldersAreNeverUsed_data();
    void plantedSharedWorkFoldersAreNeverUsed();
    void secondUpdateOnAClaimedFolderIsRefused();
    void pathsThroughAnotherUsersFolder_data();
    void pathsThroughAnotherUsersFolder();
    void signedUpdates_data();
    void signedUpdates();
    void searchOfAHugeInstallationLeavesOthersAnswered();
    void stopWhileReplacingLeavesOthersAnswered();

private:
    // Zips the tree, serves it and returns a body that installs it into Path("inst").
    QJsonObject Package(const QString& _qstrAppId, const Tree& _tree, const QString& _qstrZipLevel = "-0");
    JsonCommand Send(const QString& _qstrCommand, const QJsonObject& _body);
    QList<JsonCommand> Collect(const JsonCommand& _request, int _nTimeoutMs = 60000)
    {
        return m_pClient->collectUntil(_request.guid, IsResult, _nTimeoutMs);
    }
    QString Path(const QString& _qstrName) const { return m_pWork->path() + QLatin1Char('/') + _qstrName; }
    QString WorkFolder(const QString& _qstrAppId) const
    {
        return m_pService->root() + QStringLiteral("/.cache/qorv-utility-service/work/") + _qstrAppId;
    }
    // Sends the update with its package served slowly, and returns once it is downloading.
    JsonCommand SendSlowly(QJsonObject _body);

    // Runs an update through either transport: everything for its guid up to its result.
    template <typename Client> QList<JsonCommand> Update(Client& _client, const QJsonObject& _body);
    // A service started with update/publicKey set (a vendor's key, or a malformed one).
    ServiceProcess& KeyedService(const QString& _qstrKey, const QString& _qstrLanguage);

    std::unique_ptr<ServiceProcess> m_pService;
    std::map<QString, std::unique_ptr<ServiceProcess>> m_mapKeyedServices;
    std::unique_ptr<VendorKey> m_pVendorKey;
    std::unique_ptr<WsTestClient> m_pClient;
    std::unique_ptr<QTemporaryDir> m_pWork;
    HttpTestServer m_http;
    // The application's process, as far as the service can tell.
    QProcess m_appProcess;
    int m_nApp = 0;
};

void tst_AutoInstallE2E::initTestCase()
{
    m_appProcess.start(QStringLiteral("sleep"), {QStringLiteral("3600")});
    QVERIFY(m_appProcess.waitForStarted());
    m_pService = std::make_unique<ServiceProcess>(
        QMap<QString, QString>{{"uninst/preUninstTimeout", "2000"}, {"log/level", "0"}});
    QVERIFY2(m_pService->start(), qPrintable(m_pService->errorString()));
}

void tst_AutoInstallE2E::init()
{
    m_pWork = std::make_unique<QTemporaryDir>();
    QVERIFY(m_pWork->isValid());
    if (!m_pService->isRunning())
        QVERIFY(m_pService->restart());
    m_pClient = std::make_unique<WsTestClient>(QStringLiteral("updater"), m_pService->wsPort());
    QVERIFY(m_pClient->login({}, 30000));
    WriteTree(Path("inst"), kInstalled);
}

void tst_AutoInstallE2E::cleanupTestCase()
{
    // A sanitizer build of the service fails the run with its report.
    const QString report = m_pService->sanitizerReport();
    QVERIFY2(report.isEmpty(), qPrintable(report.left(4000)));
    for (const auto& keyed : m_mapKeyedServices) {
        const QString keyedReport = keyed.second->sanitizerReport();
        QVERIFY2(keyedReport.isEmpty(), qPrintable(keyedReport.left(4000)));
    }
    m_appProcess.kill();
    m_appProcess.waitForFinished();
}

QJsonObject tst_AutoInstallE2E::Package(const QString& _qstrAppId, const Tree& _tree,
                                        const QString& _qstrZipLevel)
{
    const QString content = Path("content-") + _qstrAppId;
    WriteTree(content, _tree);
    QProcess zip;
    zip.setWorkingDirectory(content);
    zip.start("zip", {"-q", "-r", _qstrZipLevel, Path(_qstrAppId + ".zip"), "."});
    zip.waitForFinished(120000);
    QFile archive(Path(_qstrAppId + ".zip"));
    archive.open(QIODevice::ReadOnly);
    const QByteArray bytes = archive.readAll();
    m_http.Add(_qstrAppId, bytes);
    return QJsonObject{{"appid", _qstrAppId},
                       {"url", m_http.Url("/f/" + _qstrAppId)},
                       {"md5", QString(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex())},
                       {"processName", "qorv-no-such-process"},
                       {"installPath", Path("inst")}};
}

JsonCommand tst_AutoInstallE2E::Send(const QString& _qstrCommand, const QJsonObject& _body)
{
    JsonCommand request = makeCommand(QStringLiteral("command"), _qstrCommand,
                                      QString::fromUtf8(QJsonDocument(_body).toJson(QJsonDocument::Compact)));
    request.userdata = QStringLiteral("ud");
    m_pClient->send(request);
    return request;
}

void tst_AutoInstallE2E::handshake_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("answer"); // 0: the application stays silent
    QTest::addColumn<bool>("fromIntruder");
    QTest::addColumn<qint64>("code");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("logLine");

    const QString agreed = "finish";
    QTest::newRow("not running") << "update" << false << 0 << false << 100LL << "succeed" << agreed << "";
    QTest::newRow("agrees") << "update" << true << 200 << false << 100LL << "succeed" << agreed << "";
    QTest::newRow("refuses") << "update" << true << 201 << false << 101LL << "cannot unstall"
                             << "saving a document"
                             << "";
    QTest::newRow("silent") << "update" << true << 0 << false << 100LL << "succeed" << agreed
                            << "UninstallPrepareHelper::app reply timeout, force update!:";
    QTest::newRow("another code") << "update" << true << 500 << false << 101LL << "cannot unstall"
                                  << "fatal error:invalid code:500"
                                  << "";
    QTest::newRow("refusal from another client") << "update" << true << 201 << true << 100LL << "succeed"
                                                 << agreed << "answer from another client ignored";
    QTest::newRow("pre_uninst alone")
        << "pre_uninst" << true << 200 << false << 100LL << "ready to unstall" << agreed << "";
}

void tst_AutoInstallE2E::handshake()
{
    QFETCH(QString, command);
    QFETCH(bool, running);
    QFETCH(int, answer);
    QFETCH(bool, fromIntruder);
    QFETCH(qint64, code);
    QFETCH(QString, status);
    QFETCH(QString, error);
    QFETCH(QString, logLine);

    const QString appId = QStringLiteral("app%1").arg(++m_nApp);
    const QString actionFolder = m_pService->root() + "/appfolder/" + appId;
    WriteFile(actionFolder + "/preUninstall.sh", "echo ran >> \"$(dirname \"$0\")/ran.txt\"\n");
    ZmqTestClient app(appId, m_pService->zmqPort());
    ZmqTestClient intruder(appId + "-intruder", m_pService->zmqPort());
    QVERIFY(app.login() && intruder.login());

    QJsonObject body = Package(appId, {{"/a.txt", "new a"}, {"/sub/b.bin", RandomBytes(300000, 1)}});
    if (running)
        body.insert("processName", "sleep");
    const JsonCommand request = Send(command, body);
    if (running) {
        const auto question = app.waitFor(
            [&](const JsonCommand& _e) { return _e.command == "pre_uninst" && _e.guid == request.guid; },
            10000);
        QVERIFY(question);
        QCOMPARE(question->from, QStringLiteral("message_service"));
        QCOMPARE(question->to, QStringList{appId});
        if (answer) {
            JsonCommand reply = makeTransfer({"message_service"}, QString(), "pre_uninst");
            reply.guid = request.guid;
            reply.error_code = answer;
            reply.error_string = answer == 201 ? "saving a document" : "";
            reply.from = appId; // an intruder claiming the application's name changes nothing
            (fromIntruder ? intruder : app).send(reply);
        }
    }
    const QList<JsonCommand> answers = Collect(request);
    QVERIFY(!answers.isEmpty());
    const JsonCommand& result = answers.last();
    QCOMPARE(result.error_code, code);
    QCOMPARE(result.error_string, error);
    QCOMPARE(StatusOf(result).value("status").toString(), status);
    QCOMPARE(result.userdata, QStringLiteral("ud"));
    if (!logLine.isEmpty())
        QVERIFY(m_pService->waitForLog(logLine));
    QCOMPARE(QFile::exists(actionFolder + "/ran.txt"), code == 100);

    if (!running) {
        QVERIFY(!app.waitFor([](const JsonCommand& _e) { return _e.command == "pre_uninst"; }, 200));
        const JsonCommand first = answers.at(answers.first().type == "command_ret" ? 1 : 0);
        QCOMPARE(StatusOf(first).value("status").toString(), QStringLiteral("downloading"));
    }
    // Progress is finite and each report moved more than one point from the one before.
    double last = 0;
    for (const JsonCommand& progress : answers) {
        if (progress.type != "transfer" || progress.error_code != 0)
            continue;
        const double percent = StatusOf(progress).value("percent").toDouble(-1);
        QVERIFY(std::isfinite(percent) && percent >= 0 && percent <= 100);
        QVERIFY2(std::fabs(percent - std::trunc(last)) > 1, qPrintable(QString::number(percent)));
        last = percent;
    }
    const Tree expected{{"/a.txt", "new a"}, {"/keep.txt", "kept"}, {"/sub/b.bin", RandomBytes(300000, 1)}};
    QCOMPARE(ReadTree(Path("inst")), command == "update" && code == 100 ? expected : kInstalled);
}

void tst_AutoInstallE2E::stageFailure_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("status");
    QTest::newRow("bad URL") << "url"
                             << "downloading";
    QTest::newRow("MD5 mismatch") << "md5"
                                  << "downloading";
    QTest::newRow("corrupt archive") << "archive"
                                     << "unziping";
    QTest::newRow("unwritable install folder") << "install"
                                               << "replacing";
}

void tst_AutoInstallE2E::stageFailure()
{
    QFETCH(QString, what);
    QFETCH(QString, status);
    const QString appId = QStringLiteral("fail%1").arg(++m_nApp);
    QJsonObject body = Package(appId, {{"/a.txt", "new a"}});
    if (what == "url")
        body.insert("url", m_http.Url("/missing"));
    else if (what == "md5")
        body.insert("md5", QString(32, QLatin1Char('0')));
    else if (what == "install")
        body.insert("installPath", Path("inst/a.txt/below"));
    if (what == "archive") {
        m_http.Add(appId, "this is no zip archive");
        body.insert("md5", "");
    }
    const QList<JsonCommand> answers = Collect(Send("update", body));
    QVERIFY(!answers.isEmpty());
    QCOMPARE(answers.last().error_code, 101LL);
    QVERIFY(!answers.last().error_string.isEmpty());
    QCOMPARE(StatusOf(answers.last()).value("status").toString(), status);
    QCOMPARE(ReadTree(Path("inst")), kInstalled);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(WorkFolder(appId) + "/unzip"), 10000);
}

void tst_AutoInstallE2E::stopInEachStage_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<QString>("how");
    QTest::newRow("downloading") << "downloading"
                                 << "stop_update";
    QTest::newRow("unziping") << "unziping"
                              << "stop_update";
    QTest::newRow("replacing") << "replacing"
                               << "stop_update";
    QTest::newRow("replacing, service terminated") << "replacing"
                                                   << "SIGTERM";
    QTest::newRow("replacing, service killed, rolled back at start") << "replacing"
                                                                     << "SIGKILL";
}

void tst_AutoInstallE2E::stopInEachStage()
{
    QFETCH(QString, stage);
    QFETCH(QString, how);
    const QString appId = QStringLiteral("stop%1").arg(++m_nApp);
    // Zeros deflate to almost nothing but take their time to extract and to copy.
    QFile big(Path("content-" + appId + "/m-big.bin"));
    QDir().mkpath(Path("content-" + appId));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(192LL * 1024 * 1024));
    big.close();
    QJsonObject body = Package(appId, {{"/a.txt", "new a"}, {"/z.bin", RandomBytes(2000000, 2)}}, "-1");
    if (stage == "downloading")
        body.insert("url", m_http.Url("/slow/" + appId));
    const JsonCommand request = Send("update", body);
    QVERIFY(
        m_pClient->waitFor([&](const JsonCommand& _e) { return IsStage(_e, request.guid, stage); }, 60000));
    if (how == "SIGTERM") {
        QCOMPARE(m_pService->stop(30000), 0);
    } else if (how == "SIGKILL") {
        m_pService->kill();
        QVERIFY(m_pService->restart());
    } else {
        // The stopped task sends nothing more; a second stop finds no task.
        JsonCommand stop = makeCommand("command", "stop_update");
        stop.guid = request.guid;
        m_pClient->send(stop);
        m_pClient->send(stop);
        const QList<JsonCommand> rest = m_pClient->collectUntil(request.guid, IsResult, 60000);
        QVERIFY(!rest.isEmpty());
        QCOMPARE(rest.last().command, QStringLiteral("stop_update"));
        QCOMPARE(rest.last().error_code, 104LL);
    }
    // A stop returns at once; the worker puts the saved files back after it.
    QTRY_COMPARE_WITH_TIMEOUT(ReadTree(Path("inst")), kInstalled, 30000);
    if (how == "stop_update")
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(WorkFolder(appId) + "/unzip") &&
                                     !QFileInfo::exists(WorkFolder(appId) + "/backup"),
                                 20000);
}

void tst_AutoInstallE2E::noZipAndDefaultPaths()
{
    // Not an archive: the file downloaded into the unzip folder is itself installed.
    const QByteArray bytes = RandomBytes(100000, 3);
    m_http.Add("plain.bin", bytes);
    const QJsonObject noZip{{"appid", "plain"},
                            {"url", m_http.Url("/f/plain.bin")},
                            {"processName", "qorv-no-such-process"},
                            {"bNoZip", true},
                            {"downloadPath", Path("unz/plain.bin")},
                            {"unzipPath", Path("unz")},
                            {"installPath", Path("inst")}};
    QList<JsonCommand> answers = Collect(Send("update", noZip));
    QVERIFY(!answers.isEmpty());
    QCOMPARE(answers.last().error_code, 100LL);
    QCOMPARE(ReadFile(Path("inst/plain.bin")), bytes);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(Path("unz")), 10000);

    // Only what must be given: the installation lands in the default folder.
    QJsonObject minimal = Package("defaults", {{"/d.txt", "default"}});
    minimal.remove("installPath");
    answers = Collect(Send("update", minimal));
    QVERIFY(!answers.isEmpty());
    QCOMPARE(answers.last().error_code, 100LL);
    QCOMPARE(ReadFile(m_pService->root() + "/appfolder/defaults/d.txt"), QByteArray("default"));
    for (const char* field : {"downloadPath", "unzipPath", "backupPath", "installPath"})
        QVERIFY(m_pService->logText().contains(
            QStringLiteral("ToolBox::ToolBox::%1 is empty, auto set to:").arg(field)));
    QCOMPARE(FileMode(QFileInfo(WorkFolder("defaults")).path()), 0700u);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(WorkFolder("defaults") + "/unzip") &&
                                 !QFileInfo::exists(WorkFolder("defaults") + "/backup") &&
                                 !QFileInfo::exists(WorkFolder("defaults") + "/download/download.zip"),
                             10000);
}

void tst_AutoInstallE2E::refusedRequests_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("data");
    const QString ok = R"("url":"http://127.0.0.1:1/x","processName":"p")";
    QTest::newRow("not JSON") << "update"
                              << "{nope";
    QTest::newRow("no url") << "update"
                            << R"({"appid":"a","processName":"p"})";
    QTest::newRow("no process name") << "pre_uninst"
                                     << R"({"appid":"a"})";
    QTest::newRow("empty app id") << "update"
                                  << "{\"appid\":\"\"," + ok + "}";
    QTest::newRow("app id ..") << "update"
                               << "{\"appid\":\"..\"," + ok + "}";
    QTest::newRow("app id with a separator") << "pre_uninst"
                                             << "{\"appid\":\"a/b\"," + ok + "}";
    QTest::newRow("app id with a control character") << "update"
                                                     << "{\"appid\":\"a\\u0001\"," + ok + "}";
    QTest::newRow("relative install path") << "update"
                                           << "{\"appid\":\"a\",\"installPath\":\"x/y\"," + ok + "}";
    QTest::newRow("relative backup path") << "update"
                                          << "{\"appid\":\"a\",\"backupPath\":\"b\"," + ok + "}";
}

void tst_AutoInstallE2E::refusedRequests()
{
    QFETCH(QString, command);
    QFETCH(QString, data);
    JsonCommand request = makeCommand("command", command, data);
    m_pClient->send(request);
    const QList<JsonCommand> answers = Collect(request, 10000);
    QVERIFY(!answers.isEmpty());
    QCOMPARE(answers.last().error_code, 103LL);
    QCOMPARE(answers.last().error_string, QStringLiteral("invalid param"));
    QCOMPARE(StatusOf(answers.last()).value("status").toString(), QStringLiteral("invalid_param"));
}

void tst_AutoInstallE2E::duplicateGuidAndStrayAnswers()
{
    ZmqTestClient app("dup", m_pService->zmqPort());
    QVERIFY(app.login());
    QJsonObject body = Package("dup", {{"/a.txt", "new a"}});
    body.insert("processName", "sleep");
    const JsonCommand first = Send("update", body);
    QVERIFY(app.waitFor([&](const JsonCommand& _e) { return _e.guid == first.guid; }, 10000));
    // While the application is asked: the same guid again, another update of the same
    // application, a stop, an answer to another guid.
    m_pClient->send(first);
    const JsonCommand second = Send("update", body);
    const auto busy = m_pClient->waitFor(
        [&](const JsonCommand& _e) { return _e.guid == second.guid && IsResult(_e); }, 10000);
    QVERIFY(busy);
    QCOMPARE(busy->error_code, 102LL);
    JsonCommand stop = makeCommand("command", "stop_update");
    stop.guid = first.guid;
    m_pClient->send(stop);
    const auto refused = m_pClient->waitFor(
        [&](const JsonCommand& _e) { return _e.guid == first.guid && _e.error_code == 102; }, 10000);
    QVERIFY(refused);
    QCOMPARE(StatusOf(*refused).value("status").toString(), QStringLiteral("task_already_exist"));
    QVERIFY(m_pClient->waitFor(
        [&](const JsonCommand& _e) { return _e.command == "stop_update" && _e.error_code == 104; }, 10000));
    JsonCommand stray = makeTransfer({"message_service"}, QString(), "pre_uninst");
    stray.error_code = 200;
    app.send(stray);
    const auto unknown = app.waitFor(
        [&](const JsonCommand& _e) { return _e.guid == stray.guid && _e.type == "transfer"; }, 10000);
    QVERIFY(unknown);
    QCOMPARE(unknown->error_code, 104LL);
    // The first request goes on once the application's silence has run out.
    const QList<JsonCommand> answers = m_pClient->collectUntil(
        first.guid, [](const JsonCommand& _e) { return IsResult(_e) && _e.command == "update"; }, 60000);
    QCOMPARE(answers.last().error_code, 100LL);
}

void tst_AutoInstallE2E::userFolderSurvives_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("holdsFiles");
    QTest::addColumn<qint64>("code");
    QTest::addColumn<QString>("status");
    QTest::newRow("unzip folder with files") << "unzipPath" << true << 101LL << "unziping";
    QTest::newRow("backup folder with files") << "backupPath" << true << 101LL << "replacing";
    QTest::newRow("empty unzip folder") << "unzipPath" << false << 100LL << "succeed";
    QTest::newRow("empty backup folder") << "backupPath" << false << 100LL << "succeed";
}

void tst_AutoInstallE2E::userFolderSurvives()
{
    QFETCH(QString, field);
    QFETCH(bool, holdsFiles);
    QFETCH(qint64, code);
    QFETCH(QString, status);
    const Tree mine{{"/letter.txt", "my letter"}, {"/photos/p.jpg", "jpeg"}};
    QVERIFY(QDir().mkpath(Path("mine")));
    if (holdsFiles)
        WriteTree(Path("mine"), mine);
    const QString appId = QStringLiteral("user%1").arg(++m_nApp);
    QJsonObject body = Package(appId, {{"/a.txt", "new a"}});
    body.insert(field, Path("mine"));
    const QList<JsonCommand> answers = Collect(Send("update", body));
    QVERIFY(!answers.isEmpty());
    QCOMPARE(answers.last().error_code, code);
    QCOMPARE(StatusOf(answers.last()).value("status").toString(), status);
    if (holdsFiles) {
        QVERIFY2(answers.last().error_string.contains(Path("mine")), qPrintable(answers.last().error_string));
        QCOMPARE(ReadTree(Path("inst")), kInstalled);
    }
    // What the run put into an empty folder goes again; the folder itself stays.
    QTRY_COMPARE_WITH_TIMEOUT(ReadTree(Path("mine")), holdsFiles ? mine : Tree(), 10000);
    QVERIFY(QFileInfo(Path("mine")).isDir());
}

JsonCommand tst_AutoInstallE2E::SendSlowly(QJsonObject _body)
{
    _body.insert("url", _body.value("url").toString().replace("/f/", "/slow/"));
    const JsonCommand request = Send("update", _body);
    const auto downloading = m_pClient->waitFor(
        [&](const JsonCommand& _e) { return IsStage(_e, request.guid, "downloading"); }, 30000);
    if (!downloading)
        qWarning() << "no download progress for" << request.guid;
    return request;
}

void tst_AutoInstallE2E::plantedSharedWorkFoldersAreNeverUsed_data()
{
    QTest::addColumn<QString>("plant");
    QTest::addColumn<QString>("dropWhileDownloading");
    // Where the work folders of an update once were: fixed names in the shared temporary folder.
    QTest::newRow("empty unzip folder, a script dropped into it")
        << "mkdir -p '%1/unzip'"
        << "echo 'touch pwned' > '%1/unzip/preUninstall.sh'";
    QTest::newRow("download file linked to the user's file")
        << "mkdir -p '%1/download' && ln -s '%2' '%1/download/download.zip'"
        << "";
}

void tst_AutoInstallE2E::plantedSharedWorkFoldersAreNeverUsed()
{
    if (::geteuid() != 0)
        QSKIP("planting as another user needs root");
    QFETCH(QString, plant);
    QFETCH(QString, dropWhileDownloading);
    m_pService->shareTemporaryFolder();
    const QString appId = QStringLiteral("planted%1").arg(++m_nApp);
    const QString shared = m_pService->root() + "/tmp/message_service/" + appId;
    const QString victim = m_pService->root() + "/.bashrc";
    WriteFile(victim, "alias ll='ls -l'\n");
    QCOMPARE(runAsStranger("umask 0 && " + plant.arg(shared, victim)), 0);

    const JsonCommand request =
        SendSlowly(Package(appId, {{"/a.txt", "new a"}, {"/big.bin", RandomBytes(1 << 20, 7)}}));
    if (!dropWhileDownloading.isEmpty())
        QCOMPARE(runAsStranger(dropWhileDownloading.arg(shared)), 0);
    const QList<JsonCommand> answers = Collect(request);
    QVERIFY(!answers.isEmpty());
    QCOMPARE(answers.last().error_code, 100LL);
    QCOMPARE(ReadFile(Path("inst/a.txt")), QByteArray("new a"));
    QVERIFY(!QFileInfo::exists(Path("inst/preUninstall.sh")));
    QCOMPARE(ReadFile(victim), QByteArray("alias ll='ls -l'\n"));
}

void tst_AutoInstallE2E::pathsThroughAnotherUsersFolder_data()
{
    // %1 the shared folder (sticky, as /tmp), %2 a folder of the user's. The stranger plants, then
    // keeps doing "meanwhile" while the request runs; the paths are under %1.
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("plant");
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<QString>("downloadPath");
    QTest::addColumn<QString>("unzipPath");
    // The folder refused and why, as the log names it; empty when the request must succeed.
    QTest::addColumn<QString>("refusal");
    const QString swapPart = "for f in '%1'/upd/.*.part; do [ -f \"$f\" ] && cp '%1/evil.zip' '%1/upd/.x' && "
                             "mv -f '%1/upd/.x' \"$f\"; done";
    const QString open = "/upd: it belongs to another user (uid 65534)";
    QTest::newRow("update: the stranger renames a package over the download")
        << "update"
        << "mkdir -m 0777 '%1/upd'" << swapPart << "/upd/pkg.zip"
        << "" << open;
    QTest::newRow("update: the stranger swaps the unzip folder")
        << "update"
        << "mkdir -m 0777 '%1/upd'"
        << "[ -d '%1/upd/unzip' ] && [ ! -O '%1/upd/unzip' ] && mv '%1/upd/unzip' '%1/upd/gone.$$' && "
           "mkdir '%1/upd/unzip' && cp '%1/evil/preUninstall.sh' '%1/evil/a.txt' '%1/upd/unzip/'"
        << ""
        << "/upd/unzip/" << open;
    QTest::newRow("download: the stranger renames a file over the download")
        << "download"
        << "mkdir -m 0777 '%1/upd'" << swapPart << "/upd/file.bin"
        << "" << open;
    QTest::newRow("download: through the stranger's link to the user's folder")
        << "download"
        << "ln -s '%2' '%1/dl2'"
        << ""
        << "/dl2/x.desktop"
        << ""
        << "/dl2: it is a link of another user (uid 65534)";
    QTest::newRow("safe: directly in the sticky shared folder") << "update"
                                                                << ""
                                                                << ""
                                                                << "/pkg.zip"
                                                                << ""
                                                                << "";
}

void tst_AutoInstallE2E::pathsThroughAnotherUsersFolder()
{
    if (::geteuid() != 0)
        QSKIP("planting as another user needs root");
    QFETCH(QString, command);
    QFETCH(QString, plant);
    QFETCH(QString, meanwhile);
    QFETCH(QString, downloadPath);
    QFETCH(QString, unzipPath);
    QFETCH(QString, refusal);
    const bool refused = !refusal.isEmpty();
    m_pService->shareTemporaryFolder();
    const QString shared = m_pService->root() + "/tmp/paths" + QString::number(++m_nApp);
    const QString victim = Path("autostart");
    QVERIFY(QDir().mkpath(victim));
    QVERIFY(QDir().mkpath(shared));
    QVERIFY(::chmod(QFile::encodeName(shared).constData(), 01777) == 0);
    // The stranger's own package: a script the next update would run, and other bytes.
    const Tree evil{{"/preUninstall.sh", "touch pwned"}, {"/a.txt", "evil a"}};
    WriteTree(shared + "/evil", evil);
    QProcess zip;
    zip.setWorkingDirectory(shared + "/evil");
    zip.start("zip", {"-q", "-r", shared + "/evil.zip", "."});
    QVERIFY(zip.waitForFinished(60000));
    QProcess chmod;
    chmod.start("chmod", {"-R", "a+rX", shared + "/evil", shared + "/evil.zip"});
    QVERIFY(chmod.waitForFinished());
    if (!plant.isEmpty())
        QCOMPARE(runAsStranger("umask 0 && " + plant.arg(shared, victim)), 0);
    QProcess stranger;
    if (!meanwhile.isEmpty()) {
        stranger.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c",
                                   "end=$(($(date +%s) + 60)); while [ $(date +%s) -lt $end ]; do " +
                                       meanwhile.arg(shared) + "; done"});
        QVERIFY(stranger.waitForStarted());
    }

    const QString appId = QStringLiteral("paths%1").arg(m_nApp);
    QJsonObject body = Package(appId, {{"/a.txt", "new a"}, {"/big.bin", RandomBytes(1 << 20, 9)}});
    body.insert("url", body.value("url").toString().replace("/f/", "/slow/"));
    if (command == "download")
        body = QJsonObject{
            {"from", body.value("url")}, {"to", shared + downloadPath}, {"extra", body.value("md5")}};
    else if (!downloadPath.isEmpty())
        body.insert("downloadPath", shared + downloadPath);
    if (!unzipPath.isEmpty())
        body.insert("unzipPath", shared + unzipPath);
    const QList<JsonCommand> answers = Collect(Send(command, body));
    stranger.kill();
    stranger.waitForFinished();
    QVERIFY(!answers.isEmpty());
    QCOMPARE(answers.last().error_code, refused ? 101LL : 100LL);
    if (refused)
        QVERIFY2(m_pService->logText().contains(shared + refusal), qPrintable(answers.last().error_string));
    // Nothing of the stranger's was installed or reported as the download.
    QCOMPARE(ReadFile(Path("inst/a.txt")),
             command == "update" && !refused ? QByteArray("new a") : QByteArray("old a"));
    QVERIFY(!QFileInfo::exists(Path("inst/preUninstall.sh")));
    QVERIFY(QDir(victim).isEmpty());
    if (command == "download")
        QVERIFY(!QFileInfo::exists(shared + downloadPath));
}

void tst_AutoInstallE2E::secondUpdateOnAClaimedFolderIsRefused()
{
    QJsonObject first = Package("claimA", {{"/a.txt", "from A"}, {"/big.bin", RandomBytes(1 << 20, 8)}});
    first.insert("unzipPath", Path("one-unzip"));
    QJsonObject second = Package("claimB", {{"/a.txt", "from B"}});
    second.insert("unzipPath", Path("one-unzip/"));
    const JsonCommand running = SendSlowly(first);
    const QList<JsonCommand> refused = Collect(Send("update", second), 10000);
    QVERIFY(!refused.isEmpty());
    QCOMPARE(refused.last().error_code, 102LL);
    QCOMPARE(StatusOf(refused.last()).value("status").toString(), QStringLiteral("task_already_exist"));
    // Refused before anything was downloaded for it.
    QVERIFY(std::none_of(refused.begin(), refused.end(), [](const JsonCommand& _e) {
        return StatusOf(_e).value("status") == "downloading";
    }));
    const QList<JsonCommand> answers = Collect(running);
    QVERIFY(!answers.isEmpty());
    QCOMPARE(answers.last().error_code, 100LL);
    QCOMPARE(ReadFile(Path("inst/a.txt")), QByteArray("from A"));
}

template <typename Client>
QList<JsonCommand> tst_AutoInstallE2E::Update(Client& _client, const QJsonObject& _body)
{
    JsonCommand request = makeCommand(QStringLiteral("command"), QStringLiteral("update"),
                                      QString::fromUtf8(QJsonDocument(_body).toJson(QJsonDocument::Compact)));
    if (!_client.send(request))
        return {};
    return _client.collectUntil(request.guid, IsResult, 60000);
}

ServiceProcess& tst_AutoInstallE2E::KeyedService(const QString& _qstrKey, const QString& _qstrLanguage)
{
    std::unique_ptr<ServiceProcess>& service = m_mapKeyedServices[_qstrKey];
    if (!service) {
        service = std::make_unique<ServiceProcess>(QMap<QString, QString>{{"update/publicKey", _qstrKey}});
        // The texts in a known language: C has no translation, zh_CN the shipped one.
        service->setEnvironment(QStringLiteral("LC_ALL"), _qstrLanguage);
        service->setEnvironment(QStringLiteral("LANGUAGE"), _qstrLanguage);
    }
    if (!service->isRunning())
        service->start();
    return *service;
}

void tst_AutoInstallE2E::signedUpdates_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<QString>("key");       // "vendor", "none" or "malformed"
    QTest::addColumn<QString>("signature"); // "good", "other package", "missing", "not base64"
    QTest::addColumn<bool>("cut");          // the package's first response closes half way
    QTest::addColumn<qint64>("code");
    QTest::addColumn<QString>("error");
    const QString zh = QStringLiteral("安装/更新包签名校验失败，请联系服务人员|");
    for (const QString transport : {"WebSocket", "ZeroMQ"}) {
        const auto row = [&transport](const char* _szName) -> QTestData& {
            return QTest::addRow("%s, %s", qPrintable(transport), _szName) << transport;
        };
        row("signed") << "vendor"
                      << "good" << false << 100LL << "finish";
        row("signed, download cut and resumed") << "vendor"
                                                << "good" << true << 100LL << "finish";
        row("signed by the vendor for another package")
            << "vendor"
            << "other package" << false << 101LL << zh + "签名不符[*";
        row("signature missing") << "vendor"
                                 << "missing" << false << 101LL << zh + "缺少签名";
        row("signature not Base64") << "vendor"
                                    << "not base64" << false << 101LL << zh + "签名不是Base64";
        row("no key: signature ignored") << "none"
                                         << "not base64" << false << 100LL << "finish";
        row("malformed key: fails even when signed")
            << "malformed"
            << "good" << false << 101LL << "SIGNATURE_FAILED_CONTACT_US|PUBLIC_KEY_INVALID";
    }
}

void tst_AutoInstallE2E::signedUpdates()
{
    QFETCH(QString, transport);
    QFETCH(QString, key);
    QFETCH(QString, signature);
    QFETCH(bool, cut);
    QFETCH(qint64, code);
    QFETCH(QString, error);
    if (!m_pVendorKey)
        m_pVendorKey = std::make_unique<VendorKey>(m_pService->root(), QStringLiteral("vendor"));
    QCOMPARE(m_pVendorKey->PublicKey().size(), 44);
    ServiceProcess* service = m_pService.get();
    if (key == "vendor")
        service = &KeyedService(m_pVendorKey->PublicKey(), QStringLiteral("zh_CN.UTF-8"));
    else if (key == "malformed")
        service = &KeyedService(QStringLiteral("bm90IGEga2V5"), QStringLiteral("C"));
    QVERIFY2(service->isRunning(), qPrintable(service->errorString()));
    if (key == "malformed")
        QVERIFY(service->waitForLog("update/publicKey in " + service->configPath() +
                                    " is not Base64 of a 32-byte Ed25519 public key"));

    const QString appId = QStringLiteral("signed%1").arg(++m_nApp);
    const Tree tree{{"/a.txt", "signed a"}, {"/sub/b.bin", RandomBytes(600000, 7)}};
    QJsonObject body = Package(appId, tree);
    const QByteArray package = ReadFile(Path(appId + ".zip"));
    if (signature == "good")
        body.insert("signature", m_pVendorKey->Sign(package));
    else if (signature == "other package")
        body.insert("signature", m_pVendorKey->Sign(package + "x"));
    else if (signature == "not base64")
        body.insert("signature", "signed, trust me");
    if (cut)
        body.insert("url", m_http.Url("/cut/" + appId));

    QList<JsonCommand> answers;
    if (transport == "ZeroMQ") {
        ZmqTestClient client(QStringLiteral("zmq-updater"), service->zmqPort());
        QVERIFY(client.login());
        answers = Update(client, body);
    } else {
        WsTestClient client(QStringLiteral("ws-updater"), service->wsPort());
        QVERIFY(client.login({}, 30000));
        answers = Update(client, body);
    }
    QVERIFY(!answers.isEmpty());
    const JsonCommand& result = answers.last();
    QVERIFY(IsResult(result));
    QCOMPARE(result.error_code, code);
    if (error.endsWith(QLatin1Char('*')))
        QVERIFY2(result.error_string.startsWith(error.chopped(1)), qPrintable(result.error_string));
    else
        QCOMPARE(result.error_string, error);
    if (code == 100) {
        QCOMPARE(
            ReadTree(Path("inst")),
            (Tree{{"/a.txt", "signed a"}, {"/keep.txt", "kept"}, {"/sub/b.bin", RandomBytes(600000, 7)}}));
    } else {
        // Failed in the download stage, before anything was extracted.
        QCOMPARE(StatusOf(result).value("status").toString(), QStringLiteral("downloading"));
        for (const JsonCommand& answer : answers)
            QVERIFY(StatusOf(answer).value("status").toString() != QLatin1String("unziping"));
        QCOMPARE(ReadTree(Path("inst")), kInstalled);
    }
    // A missing or malformed signature, or a malformed key, is refused before a byte is fetched.
    const bool refusedAtOnce =
        key == "malformed" || (key == "vendor" && (signature == "missing" || signature == "not base64"));
    QCOMPARE(m_http.Requests((cut ? "/cut/" : "/f/") + appId).size(), refusedAtOnce ? 0 : cut ? 2 : 1);
    if (cut) {
        const QByteArray second = m_http.Requests("/cut/" + appId).value(1);
        QVERIFY2(HttpTestServer::Header(second, "Range").startsWith("bytes="), second.constData());
        QVERIFY(service->waitForLog("Downloader::RetryAfterCut:"));
    }
}

void tst_AutoInstallE2E::searchOfAHugeInstallationLeavesOthersAnswered()
{
    // 100,000 files in the application's default folder and no action among them: the whole
    // tree is searched, while another client keeps asking the hub over WebSocket.
    // Made in memory where the machine offers it: creating 100,000 files on a disk can take
    // minutes. The application's folder is a link to it.
    const bool inMemory = QFileInfo(QStringLiteral("/dev/shm")).isWritable();
    QTemporaryDir tree(inMemory ? QStringLiteral("/dev/shm/qorv-huge-XXXXXX") : Path("huge-XXXXXX"));
    QVERIFY(tree.isValid());
    const QString link = m_pService->root() + QStringLiteral("/appfolder/huge");
    QVERIFY(QDir().mkpath(QFileInfo(link).absolutePath()));
    QVERIFY(QFile::link(tree.path(), link));
    for (int d = 0; d < 100; ++d) {
        const QString sub = tree.path() + QStringLiteral("/d%1").arg(d, 3, 10, QLatin1Char('0'));
        QVERIFY(QDir().mkpath(sub));
        for (int f = 0; f < 1000; ++f) {
            QFile file(sub + QStringLiteral("/f%1").arg(f));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    }
    WsTestClient other(QStringLiteral("other"), m_pService->wsPort());
    QVERIFY(other.login());
    const JsonCommand request =
        Send("pre_uninst", QJsonObject{{"appid", "huge"}, {"processName", "qorv-no-such-process"}});
    std::optional<JsonCommand> result;
    const RoundTrips trips = PingUntil(
        other,
        [&] {
            result = m_pClient->waitFor(
                [&](const JsonCommand& _e) { return _e.guid == request.guid && _e.type == "transfer"; }, 0);
            return result.has_value();
        },
        120000);
    QVERIFY(trips.allAnswered);
    QFile::remove(link);
    QVERIFY(result);
    QCOMPARE(result->error_code, 100LL);
    QCOMPARE(StatusOf(*result).value("status").toString(), QStringLiteral("ready to unstall"));
    qInfo("pre_uninst over 100,000 files: %lld ms; %d round trips of another client meanwhile, the worst "
          "%.1f ms",
          trips.elapsedMs, trips.count, trips.worstMs);
    // A search on the main thread holds every other client until it ends: a round trip or two.
    QVERIFY2(trips.count >= 5, qPrintable(QString::number(trips.count)));
}

void tst_AutoInstallE2E::stopWhileReplacingLeavesOthersAnswered()
{
    // 2,000 installed files replaced with backup, stopped part way: the files saved by then are
    // put back while another client keeps asking the hub over WebSocket.
    const QString appId = QStringLiteral("many%1").arg(++m_nApp);
    Tree expected = kInstalled;
    Tree package;
    // Zeros: a small package that still takes its time to extract and to copy.
    const QByteArray zeros(100 * 1024, '\0');
    for (int i = 0; i < 2000; ++i) {
        const QString name = QStringLiteral("/d%1/f%2.bin")
                                 .arg(i % 20, 2, 10, QLatin1Char('0'))
                                 .arg(i, 4, 10, QLatin1Char('0'));
        expected.insert(name, "old " + QByteArray::number(i));
        package.insert(name, zeros);
    }
    WriteTree(Path("inst"), expected);
    const QJsonObject body = Package(appId, package, "-1");
    WsTestClient other(QStringLiteral("other"), m_pService->wsPort());
    QVERIFY(other.login());

    const JsonCommand request = Send("update", body);
    QVERIFY(m_pClient->waitFor(
        [&](const JsonCommand& _e) {
            return IsStage(_e, request.guid, "replacing") && StatusOf(_e).value("percent").toDouble() >= 30;
        },
        120000));
    JsonCommand stop = makeCommand("command", "stop_update");
    stop.guid = request.guid;
    m_pClient->send(stop);
    // Until the stopped update has put everything back, the application's folders are still its.
    const JsonCommand again = Send("update", body);

    // Read by size first: a file not yet put back holds 100 KiB of zeros.
    const auto installedAsBefore = [&] {
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            QFile file(Path("inst") + it.key());
            if (file.size() != it.value().size() || !file.open(QIODevice::ReadOnly) ||
                file.readAll() != it.value())
                return false;
        }
        int files = 0;
        for (QDirIterator it(Path("inst"), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
             it.hasNext(); it.next())
            ++files;
        return files == expected.size();
    };
    bool restored = false;
    const RoundTrips trips = PingUntil(
        other,
        [&] {
            restored = installedAsBefore();
            return restored;
        },
        60000);
    QVERIFY(trips.allAnswered);
    qInfo(
        "stop_update while replacing 2,000 files: installation back after %lld ms; %d round trips of another "
        "client meanwhile, the worst %.1f ms",
        trips.elapsedMs, trips.count, trips.worstMs);
    QVERIFY(restored);
    QCOMPARE(ReadTree(Path("inst")), expected);
    const auto refused = m_pClient->waitFor(
        [&](const JsonCommand& _e) { return _e.guid == again.guid && IsResult(_e); }, 10000);
    QVERIFY(refused);
    QCOMPARE(refused->error_code, 102LL);
    // The stopped update answers nothing: the first result for its guid is a second stop's 104.
    m_pClient->send(stop);
    const QList<JsonCommand> rest = m_pClient->collectUntil(request.guid, IsResult, 30000);
    QVERIFY(!rest.isEmpty());
    QCOMPARE(rest.last().command, QStringLiteral("stop_update"));
    QCOMPARE(rest.last().error_code, 104LL);
}

QTEST_GUILESS_MAIN(tst_AutoInstallE2E)
#include "tst_AutoInstallE2E.moc"
