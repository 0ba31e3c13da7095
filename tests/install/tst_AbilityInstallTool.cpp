// The install ability through the hub, without sockets: its refusals, what each kind of report
// becomes, that a stop sends nothing, and that destroying the ability undoes a running replace.
#include "core/MessageService.h"
#include "install/AbilityInstallTool.h"
#include "install/DownloadTask.h"
#include "install/ReplaceJournal.h"
#include "tests/support/HubCapture.h"

#include <QDir>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A request whose answers the tests compare whole: a fixed userdata, and the guid of another
// request when given.
JsonCommand Request(const QString& _qstrCommand, const QString& _qstrData,
                    const QString& _qstrGuid = QString())
{
    JsonCommand request = MakeRequest(_qstrCommand, _qstrData);
    if (!_qstrGuid.isEmpty())
        request.guid = _qstrGuid;
    request.userdata = QStringLiteral("ud");
    return request;
}

QString Body(const QString& _qstrFrom, const QString& _qstrTo, const QString& _qstrExtra = QString())
{
    return QStringLiteral(R"({"from":"%1","to":"%2","extra":"%3"})").arg(_qstrFrom, _qstrTo, _qstrExtra);
}

bool WriteFile(const QString& _qstrPath, const QByteArray& _baBytes, qint64 _nSparseSize = 0)
{
    QDir().mkpath(QFileInfo(_qstrPath).absolutePath());
    QFile file(_qstrPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return _nSparseSize ? file.resize(_nSparseSize) : file.write(_baBytes) == _baBytes.size();
}

QByteArray ReadFile(const QString& _qstrPath)
{
    QFile file(_qstrPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class tst_AbilityInstallTool : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void offersItsCommandsInOrder();
    void leavesOtherEnvelopes_data();
    void leavesOtherEnvelopes();
    void refusals_data();
    void refusals();
    void stopOfAnotherKindLeavesTheTaskAndAStopSendsNothing();
    void progressPercent_data();
    void progressPercent();
    void reportsOfAStoppedTaskReachNobody();
    void destroyingTheAbilityUndoesARunningReplace();

private:
    // A server that accepts and never answers: a download to it stays in its table.
    QTcpServer m_silent;
    QTemporaryDir m_dirState;
};

void tst_AbilityInstallTool::initTestCase()
{
    QVERIFY(m_silent.listen(QHostAddress::LocalHost));
    QVERIFY(m_dirState.isValid());
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dirState.path()));
}

void tst_AbilityInstallTool::offersItsCommandsInOrder()
{
    AbilityInstallTool ability;
    const std::vector<QString> expected{"download",   "stop_download", "unzip",
                                        "stop_unzip", "replace",       "stop_replace"};
    QCOMPARE(ability.GetAbilities(), expected);
}

void tst_AbilityInstallTool::leavesOtherEnvelopes_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("command");
    QTest::newRow("transfer of an install command") << "transfer"
                                                    << "download";
    QTest::newRow("query of an install command") << "query"
                                                 << "replace";
    QTest::newRow("another command") << "command"
                                     << "query_cpu";
}

void tst_AbilityInstallTool::leavesOtherEnvelopes()
{
    QFETCH(QString, type);
    QFETCH(QString, command);
    AbilityInstallTool ability;
    JsonCommand request = Request(command, Body("/a", "/b", "/c"));
    request.type = type;
    QVERIFY(!ability.DealCommand(request));
    QCOMPARE(ability.TaskCount(), 0);
}

void tst_AbilityInstallTool::refusals_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("data");
    QTest::addColumn<bool>("sameIdAsRunningDownload");
    QTest::addColumn<qint64>("code");
    QTest::addColumn<QString>("text");

    QTest::newRow("unzip with a running download's id")
        << "unzip" << Body("/a.zip", "/out") << true << 102LL << "task already exist";
    QTest::newRow("replace with a running download's id")
        << "replace" << Body("/s", "/d", "/b") << true << 102LL << "task already exist";
    QTest::newRow("empty from") << "download" << Body("", "/tmp/x") << false << 103LL << "invalid param";
    QTest::newRow("empty to") << "replace" << Body("/s", "", "/b") << false << 103LL << "invalid param";
    QTest::newRow("not JSON") << "unzip"
                              << "nonsense" << false << 103LL << "invalid param";
    QTest::newRow("JSON array") << "download"
                                << "[]" << false << 103LL << "invalid param";
    QTest::newRow("relative file") << "download" << Body("http://127.0.0.1/x", "x.bin") << false << 103LL
                                   << "invalid param";
    QTest::newRow("relative archive")
        << "unzip" << Body("a.zip", "/out") << false << 103LL << "invalid param";
    QTest::newRow("stop of nothing") << "stop_replace"
                                     << "" << false << 104LL << "task not exist";
}

void tst_AbilityInstallTool::refusals()
{
    QFETCH(QString, command);
    QFETCH(QString, data);
    QFETCH(bool, sameIdAsRunningDownload);
    QFETCH(qint64, code);
    QFETCH(QString, text);
    HubCapture hub;
    AbilityInstallTool ability;
    QTemporaryDir dir;
    const JsonCommand download =
        Request("download", Body(QStringLiteral("http://127.0.0.1:%1/x").arg(m_silent.serverPort()),
                                 dir.path() + "/x.bin"));
    QVERIFY(ability.DealCommand(download));

    const JsonCommand request = Request(command, data, sameIdAsRunningDownload ? download.guid : QString());
    QVERIFY(ability.DealCommand(request));
    const QList<JsonCommand> answers = Envelopes(hub.ForGuid(request.guid));
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers.first().type, QStringLiteral("transfer"));
    QCOMPARE(answers.first().error_code, code);
    QCOMPARE(answers.first().error_string, text);
    QCOMPARE(answers.first().command, command);
    QCOMPARE(answers.first().userdata, QStringLiteral("ud"));
    QCOMPARE(answers.first().to, QStringList{"test_client"});
    QCOMPARE(answers.first().data, QString());
    // The running download is untouched.
    QCOMPARE(ability.TaskCount(), 1);
}

void tst_AbilityInstallTool::stopOfAnotherKindLeavesTheTaskAndAStopSendsNothing()
{
    HubCapture hub;
    AbilityInstallTool ability;
    QTemporaryDir dir;
    const JsonCommand download =
        Request("download", Body(QStringLiteral("http://127.0.0.1:%1/x").arg(m_silent.serverPort()),
                                 dir.path() + "/x.bin"));
    QVERIFY(ability.DealCommand(download));
    QVERIFY(ability.DealCommand(Request("stop_unzip", QString(), download.guid)));
    QVERIFY(ability.DealCommand(Request("stop_replace", QString(), download.guid)));
    QCOMPARE(hub.ForGuid(download.guid).size(), 2);
    QCOMPARE(ability.TaskCount(), 1);

    QVERIFY(ability.DealCommand(Request("stop_download", QString(), download.guid)));
    QCOMPARE(ability.TaskCount(), 0);
    // The stopped worker's own report comes later and is dropped.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QCOMPARE(hub.ForGuid(download.guid).size(), 2);
    QVERIFY(QDir(dir.path()).isEmpty());
}

void tst_AbilityInstallTool::progressPercent_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QString>("data");
    QTest::newRow("a third, in single precision") << 1LL << 3LL << R"({"percent":33.33333206176758})";
    QTest::newRow("all") << 10LL << 10LL << R"({"percent":100})";
    QTest::newRow("size not announced") << 500LL << -1LL << R"({"percent":0})";
    QTest::newRow("total of zero") << 0LL << 0LL << R"({"percent":0})";
    QTest::newRow("beyond 32 bits") << 6000000000LL << 8000000000LL << R"({"percent":75})";
}

void tst_AbilityInstallTool::progressPercent()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(QString, data);
    HubCapture hub;
    AbilityInstallTool ability;
    QTemporaryDir dir;
    const JsonCommand download =
        Request("download", Body(QStringLiteral("http://127.0.0.1:%1/x").arg(m_silent.serverPort()),
                                 dir.path() + "/x.bin"));
    QVERIFY(ability.DealCommand(download));
    auto* task = qobject_cast<DownloadTask*>(ability.FindTask(download.guid));
    QVERIFY(task);
    emit task->Worker().signProgress(received, total, download.guid);
    QTRY_COMPARE_WITH_TIMEOUT(hub.ForGuid(download.guid).size(), 1, 5000);
    const QList<JsonCommand> answers = Envelopes(hub.ForGuid(download.guid));
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers.first().error_code, 0LL);
    QCOMPARE(answers.first().error_string, QString());
    QCOMPARE(answers.first().data, data);
    QCOMPARE(ability.TaskCount(), 1);
}

void tst_AbilityInstallTool::reportsOfAStoppedTaskReachNobody()
{
    HubCapture hub;
    AbilityInstallTool ability;
    QTemporaryDir dir;
    const JsonCommand download =
        Request("download", Body(QStringLiteral("http://127.0.0.1:%1/x").arg(m_silent.serverPort()),
                                 dir.path() + "/x.bin"));
    QVERIFY(ability.DealCommand(download));
    auto* task = qobject_cast<DownloadTask*>(ability.FindTask(download.guid));
    QVERIFY(task);
    QVERIFY(ability.DealCommand(Request("stop_download", QString(), download.guid)));
    // Still ending: late reports of every kind, then the table drops it.
    QSignalSpy ended(task, &QObject::destroyed);
    emit task->Worker().signProgress(1, 2, download.guid);
    emit task->Worker().signFinished(download.guid);
    emit task->Worker().signErrorOccurred("late", download.guid);
    QVERIFY(ended.wait(5000));
    QCoreApplication::processEvents();
    QVERIFY(hub.ForGuid(download.guid).isEmpty());
    QCOMPARE(ability.TaskCount(), 0);
}

void tst_AbilityInstallTool::destroyingTheAbilityUndoesARunningReplace()
{
    HubCapture hub;
    QTemporaryDir dir;
    const QString source = dir.path() + "/src";
    const QString destination = dir.path() + "/dest";
    // a.txt is more than a thousandth of the bytes, so its end is reported.
    const QByteArray newA(4 * 1024 * 1024, 'n');
    QVERIFY(WriteFile(source + "/a.txt", newA));
    // A large file after it keeps the run busy while the ability goes away.
    QVERIFY(WriteFile(source + "/b-large.bin", QByteArray(), 1024LL * 1024 * 1024));
    QVERIFY(WriteFile(destination + "/a.txt", "old a"));
    QVERIFY(WriteFile(destination + "/b-large.bin", "old b"));

    auto ability = std::make_unique<AbilityInstallTool>();
    const JsonCommand replace = Request("replace", Body(source, destination, dir.path() + "/bak"));
    QVERIFY(ability->DealCommand(replace));
    // Once a.txt is replaced its progress is above zero.
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (const JsonCommand& answer : Envelopes(hub.ForGuid(replace.guid)))
                if (answer.data != QLatin1String(R"({"percent":0})"))
                    return true;
            return false;
        },
        20000));
    QCOMPARE(ReadFile(destination + "/a.txt"), newA);
    ability.reset();
    QCOMPARE(ReadFile(destination + "/a.txt"), QByteArray("old a"));
    QCOMPARE(ReadFile(destination + "/b-large.bin"), QByteArray("old b"));
    QCOMPARE(QDir(destination).entryList(QDir::Files | QDir::Hidden), (QStringList{"a.txt", "b-large.bin"}));
    QVERIFY(QDir(ReplaceJournal::JournalFolder()).isEmpty());
}

QTEST_GUILESS_MAIN(tst_AbilityInstallTool)
#include "tst_AbilityInstallTool.moc"
