#include "tools/qorvctl/CtlOptions.h"
#include "tools/qorvctl/ProgressBar.h"
#include "tools/qorvctl/WaitRule.h"

#include <QtTest>

// qorvctl's decisions that need no service: how a command line reads, and when a task is over.
class tst_CtlLogic : public QObject
{
    Q_OBJECT
private slots:
    void options_data();
    void options();
    void waitRule_data();
    void waitRule();
    void progressText_data();
    void progressText();
};

void tst_CtlLogic::options_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error"); // empty: parsed
    QTest::addColumn<QStringList>("positional");

    QTest::newRow("options after the verb") << QStringList{"send", "download", "--zmq", "--port", "7000"}
                                            << QString() << QStringList{"send", "download"};
    QTest::newRow("-- ends options") << QStringList{"send", "--", "--zmq"} << QString()
                                     << QStringList{"send", "--zmq"};
    QTest::newRow("port out of range")
        << QStringList{"abilities", "--port", "70000"} << "bad value for --port: 70000" << QStringList();
    QTest::newRow("success codes not numbers") << QStringList{"send", "x", "--success-codes", "0,a"}
                                               << "bad value for --success-codes: 0,a" << QStringList();
    QTest::newRow("pre_uninst code other than 200/201")
        << QStringList{"listen", "--answer-pre-uninst", "202"} << "bad value for --answer-pre-uninst: 202"
        << QStringList();
    QTest::newRow("200 takes no reason") << QStringList{"listen", "--answer-pre-uninst", "200:why"}
                                         << "bad value for --answer-pre-uninst: 200:why" << QStringList();
    QTest::newRow("max-time zero") << QStringList{"send", "x", "--max-time", "0"}
                                   << "bad value for --max-time: 0" << QStringList();
    QTest::newRow("unknown option") << QStringList{"send", "--bogus"} << "Unknown option 'bogus'."
                                    << QStringList();
}

void tst_CtlLogic::options()
{
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    QFETCH(QStringList, positional);
    QString why;
    const auto opt = CtlOptions::Parse(QStringList{"qorvctl"} + args, why);
    QCOMPARE(why, error);
    QCOMPARE(opt.has_value(), error.isEmpty());
    if (opt)
        QCOMPARE(opt->positional, positional);
}

void tst_CtlLogic::waitRule_data()
{
    const QString catalog = R"({"commands":[{"name":"download","reply":"progress","success":[100],)"
                            R"("stop":"stop_download","data":"{\"from\":\"<url>\"}"},)"
                            R"({"name":"query_proc","reply":"single","success":[100]},)"
                            R"({"name":"snap_shot_area","reply":"single","success":[0]},)"
                            R"({"name":"stop_download","reply":"silent","success":[]}]})";
    QTest::addColumn<QString>("catalog");
    QTest::addColumn<QString>("command");
    QTest::addColumn<qint64>("code");
    QTest::addColumn<bool>("final");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("stop");

    QTest::newRow("progress goes on at 0")
        << catalog << "download" << qint64(0) << false << false << "stop_download";
    QTest::newRow("progress ends at 100")
        << catalog << "download" << qint64(100) << true << true << "stop_download";
    QTest::newRow("progress fails at 101")
        << catalog << "download" << qint64(101) << true << false << "stop_download";
    QTest::newRow("single: 101 is final, a failure")
        << catalog << "query_proc" << qint64(101) << true << false << QString();
    QTest::newRow("single: 100 fails where 0 succeeds")
        << catalog << "snap_shot_area" << qint64(100) << true << false << QString();
    QTest::newRow("single: 0 is final")
        << catalog << "snap_shot_area" << qint64(0) << true << true << QString();
    QTest::newRow("silent: a refusal ends it")
        << catalog << "stop_download" << qint64(104) << true << false << QString();
    QTest::newRow("not listed: progress until 100")
        << catalog << "chat" << qint64(0) << false << false << QString();
    QTest::newRow("no catalog: progress until 100")
        << QString("not json") << "download" << qint64(100) << true << true << QString();
    QTest::newRow("negative codes never succeed")
        << catalog << "snap_shot_area" << qint64(-4) << true << false << QString();
}

void tst_CtlLogic::waitRule()
{
    QFETCH(QString, catalog);
    QFETCH(QString, command);
    QFETCH(qint64, code);
    QFETCH(bool, final);
    QFETCH(bool, success);
    QFETCH(QString, stop);
    const WaitRule rule = WaitRule::FromCatalog(catalog, command);
    QCOMPARE(rule.IsFinal(code), final);
    QCOMPARE(rule.IsSuccess(code), success);
    QCOMPARE(rule.stopCommand(), stop);
    // Only the row that names its data requires some.
    QCOMPARE(rule.dataPattern(), stop.isEmpty() ? QString() : QStringLiteral("{\"from\":\"<url>\"}"));
}

void tst_CtlLogic::progressText_data()
{
    QTest::addColumn<double>("fromPercent");
    QTest::addColumn<qint64>("fromMs");
    QTest::addColumn<double>("percent");
    QTest::addColumn<qint64>("nowMs");
    QTest::addColumn<QString>("text");

    QTest::newRow("first sample: no estimate")
        << 48.4469413757 << qint64(0) << 48.4469413757 << qint64(0)
        << "[##############                ]  48.4% 0:00 left -:-- downloading";
    // From 10 % to 30 % in 20 s: 70 % more take 70 s.
    QTest::newRow("pace from the first sample")
        << 10.0 << qint64(1000) << 30.0 << qint64(21000)
        << "[#########                     ]  30.0% 0:21 left 1:10 downloading";
    QTest::newRow("hours") << 0.0 << qint64(0) << 1.0 << qint64(60000)
                           << "[                              ]   1.0% 1:00 left 1:39:00 downloading";
    QTest::newRow("no progress yet: no estimate")
        << 5.0 << qint64(0) << 5.0 << qint64(30000)
        << "[#                             ]   5.0% 0:30 left -:-- downloading";
    QTest::newRow("over 100 drawn full")
        << 50.0 << qint64(0) << 140.0 << qint64(2000)
        << "[##############################] 100.0% 0:02 left -:-- downloading";
}

void tst_CtlLogic::progressText()
{
    QFETCH(double, fromPercent);
    QFETCH(qint64, fromMs);
    QFETCH(double, percent);
    QFETCH(qint64, nowMs);
    QFETCH(QString, text);
    const qint64 left = ProgressBar::Estimate(fromPercent, fromMs, percent, nowMs);
    QCOMPARE(ProgressBar::Text(percent, QStringLiteral("downloading"), nowMs, left), text);
}

QTEST_APPLESS_MAIN(tst_CtlLogic)
#include "tst_CtlLogic.moc"
