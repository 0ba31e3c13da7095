#include "tools/qorvctl/CtlOptions.h"
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
    const QString catalog = R"({"commands":[{"name":"download","reply":"progress","success":[100]},)"
                            R"({"name":"query_proc","reply":"single","success":[100]},)"
                            R"({"name":"snap_shot_area","reply":"single","success":[0]},)"
                            R"({"name":"stop_download","reply":"silent","success":[]}]})";
    QTest::addColumn<QString>("catalog");
    QTest::addColumn<QString>("command");
    QTest::addColumn<qint64>("code");
    QTest::addColumn<bool>("final");
    QTest::addColumn<bool>("success");

    QTest::newRow("progress goes on at 0") << catalog << "download" << qint64(0) << false << false;
    QTest::newRow("progress ends at 100") << catalog << "download" << qint64(100) << true << true;
    QTest::newRow("progress fails at 101") << catalog << "download" << qint64(101) << true << false;
    QTest::newRow("single: 101 is final, a failure")
        << catalog << "query_proc" << qint64(101) << true << false;
    QTest::newRow("single: 100 fails where 0 succeeds")
        << catalog << "snap_shot_area" << qint64(100) << true << false;
    QTest::newRow("single: 0 is final") << catalog << "snap_shot_area" << qint64(0) << true << true;
    QTest::newRow("silent: a refusal ends it") << catalog << "stop_download" << qint64(104) << true << false;
    QTest::newRow("not listed: progress until 100") << catalog << "chat" << qint64(0) << false << false;
    QTest::newRow("no catalog: progress until 100")
        << QString("not json") << "download" << qint64(100) << true << true;
    QTest::newRow("negative codes never succeed")
        << catalog << "snap_shot_area" << qint64(-4) << true << false;
}

void tst_CtlLogic::waitRule()
{
    QFETCH(QString, catalog);
    QFETCH(QString, command);
    QFETCH(qint64, code);
    QFETCH(bool, final);
    QFETCH(bool, success);
    const WaitRule rule = WaitRule::FromCatalog(catalog, command);
    QCOMPARE(rule.IsFinal(code), final);
    QCOMPARE(rule.IsSuccess(code), success);
}

QTEST_APPLESS_MAIN(tst_CtlLogic)
#include "tst_CtlLogic.moc"
