// Parsing and writing of the install commands' payload.
#include "install/CommandInstallToolBody.h"

#include <QtTest>

class tst_CommandInstallToolBody : public QObject
{
    Q_OBJECT
private slots:
    void loadFromString_data();
    void loadFromString();
    void writesOnlyWhatIsSet_data();
    void writesOnlyWhatIsSet();
};

void tst_CommandInstallToolBody::loadFromString_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("extra");
    QTest::addColumn<double>("percent");
    QTest::addColumn<QStringList>("criticals");

    QTest::newRow("valid") << R"({"from":"http://h/a.zip","to":"/tmp/a.zip","extra":"ABC","percent":12.5})"
                           << "http://h/a.zip"
                           << "/tmp/a.zip"
                           << "ABC" << 12.5 << QStringList();
    QTest::newRow("request without extra and percent")
        << R"({"from":"/s","to":"/d"})"
        << "/s"
        << "/d"
        << "" << 0.0 << QStringList{"LoadFromJson:no extra found", "LoadFromJson:no percent found"};
    QTest::newRow("wrong types") << R"({"from":1,"to":["/d"],"extra":null,"percent":"50"})"
                                 << ""
                                 << ""
                                 << "" << 0.0
                                 << QStringList{"LoadFromJson:no from found", "LoadFromJson:no to found",
                                                "LoadFromJson:no extra found",
                                                "LoadFromJson:no percent found"};
    QTest::newRow("not an object") << R"(["/s","/d"])"
                                   << ""
                                   << ""
                                   << "" << 0.0
                                   << QStringList{
                                          "CommandInstallToolBody::LoadFromString:qjsonOdc is not object"};
    QTest::newRow("not JSON") << "from=/s"
                              << ""
                              << ""
                              << "" << 0.0 << QStringList();
}

void tst_CommandInstallToolBody::loadFromString()
{
    QFETCH(QString, text);
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, extra);
    QFETCH(double, percent);
    QFETCH(QStringList, criticals);
    for (const QString& line : criticals)
        QTest::ignoreMessage(QtCriticalMsg, qPrintable(line));
    if (QByteArray(QTest::currentDataTag()) == "not JSON")
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression("^CommandInstallToolBody::LoadFromString: .+"));
    CommandInstallToolBody body;
    body.LoadFromString(text);
    QCOMPARE(body.from, from);
    QCOMPARE(body.to, to);
    QCOMPARE(body.extra, extra);
    QCOMPARE(body.percent, percent);
}

void tst_CommandInstallToolBody::writesOnlyWhatIsSet_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("extra");
    QTest::addColumn<double>("percent");
    QTest::addColumn<QString>("text");
    QTest::newRow("progress") << ""
                              << "" << 42.5 << R"({"percent":42.5})";
    QTest::newRow("request") << "C:\\a \"b\""
                             << "md5" << 0.0 << R"({"extra":"md5","from":"C:\\a \"b\"","percent":0})";
}

void tst_CommandInstallToolBody::writesOnlyWhatIsSet()
{
    QFETCH(QString, from);
    QFETCH(QString, extra);
    QFETCH(double, percent);
    QFETCH(QString, text);
    CommandInstallToolBody body;
    body.from = from;
    body.extra = extra;
    body.percent = percent;
    QCOMPARE(body.ToString(), text);
    CommandInstallToolBody back;
    back.LoadFromString(body.ToString());
    QCOMPARE(back.ToString(), text);
}

QTEST_GUILESS_MAIN(tst_CommandInstallToolBody)
#include "tst_CommandInstallToolBody.moc"
