// Asking the application before its update, through the hub without sockets: the one report the
// requester gets, whatever answers come after it. What each answer reports is tested through the
// running service.
#include "update/UninstallPrepareHelper.h"

#include "core/Config.h"
#include "core/MessageService.h"
#include "tests/support/HubCapture.h"
#include "tests/support/TestEnvelope.h"
#include "tests/support/TestFiles.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

namespace {

const QString kApp = QStringLiteral("qorv_test_app");

// _qstrSender: the connection the hub vouches for, as it hands the answer over.
JsonCommand Answer(const QString& _qstrGuid, int _nCode, const QString& _qstrText,
                   const QString& _qstrSender = kApp)
{
    JsonCommand answer = makeTransfer({Envelope::kServiceName}, QString(), QStringLiteral("pre_uninst"));
    answer.from = kApp;
    answer.verified_sender = _qstrSender;
    answer.guid = _qstrGuid;
    answer.error_code = _nCode;
    answer.error_string = _qstrText;
    return answer;
}

} // namespace

class tst_UninstallPrepareHelper : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void oneReport_data();
    void oneReport();

private:
    QTemporaryDir m_dir;
    // Stands in for the application's process.
    QProcess m_app;
};

void tst_UninstallPrepareHelper::initTestCase()
{
    WriteFile(m_dir.filePath("config.ini"), "[uninst]\npreUninstTimeout=300\n");
    Config::Instance().Load(m_dir.filePath("config.ini"));
    QCOMPARE(Config::Instance().GetPreUninstTimeout(), 300);
    m_app.start("sleep", {"600"});
    QVERIFY(m_app.waitForStarted());
    MessageService::Instance().OnMessageReceived(kApp.toUtf8(), makeLogin(kApp).ToString());
}

void tst_UninstallPrepareHelper::oneReport_data()
{
    QTest::addColumn<QString>("process");
    QTest::addColumn<int>("code"); // 0: no answer
    QTest::addColumn<bool>("sameGuid");
    QTest::addColumn<bool>("ready");
    QTest::addColumn<QString>("message"); // the answer's error text
    QTest::addColumn<QString>("sender");
    QTest::newRow("not running: not asked")
        << "qorv-no-such-process" << 0 << true << true << "finish" << kApp;
    QTest::newRow("refuses") << "sleep" << 201 << true << false << "saving a document" << kApp;
    QTest::newRow("answers another guid")
        << "sleep" << 200 << false << false << "fatal error:invalid guid" << kApp;
    QTest::newRow("silent: consent") << "sleep" << 0 << true << true << "finish" << kApp;
    // "from" names the application, but no connection logged in under its name sent it.
    QTest::newRow("refusal claiming its name") << "sleep" << 201 << true << true << "finish" << QString();
    QTest::newRow("refusal from another client")
        << "sleep" << 201 << true << true << "finish" << QStringLiteral("other_app");
}

void tst_UninstallPrepareHelper::oneReport()
{
    QFETCH(QString, process);
    QFETCH(int, code);
    QFETCH(bool, sameGuid);
    QFETCH(bool, ready);
    QFETCH(QString, message);
    QFETCH(QString, sender);
    HubCapture hub;
    const QString guid = QUuid::createUuid().toString();
    UninstallPrepareHelper helper(kApp, process, guid);
    QSignalSpy reports(&helper, &Task::finished);
    helper.start();
    if (process == QLatin1String("sleep")) {
        const auto question = hub.WaitFor(guid, 10000);
        QVERIFY(question);
        QCOMPARE(question->client + ' ' + question->envelope.command, kApp + " pre_uninst");
    }
    if (code)
        helper.OnRecvMessage(Answer(sameGuid ? guid : "{another}", code, "saving a document", sender));
    QTRY_COMPARE_WITH_TIMEOUT(reports.size(), 1, 10000);
    const TaskResult result = reports.first().first().value<TaskResult>();
    QCOMPARE(qMakePair(result.code == 100, result.text), qMakePair(ready, message));
    QCOMPARE(QJsonDocument::fromJson(result.data.toUtf8()).object().value("status").toString(),
             ready ? "ready to unstall" : "cannot unstall");
    QCOMPARE(hub.ForGuid(guid).isEmpty(), process != QLatin1String("sleep"));
    // A refusal or a time-out after the report would start a second update.
    helper.OnRecvMessage(Answer(guid, 201, "too late"));
    helper.SlotTimeout();
    QCOMPARE(reports.size(), 1);
}

QTEST_GUILESS_MAIN(tst_UninstallPrepareHelper)
#include "tst_UninstallPrepareHelper.moc"
