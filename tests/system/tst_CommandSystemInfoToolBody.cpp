// Parsing and writing of the system information payload.
#include "system/CommandSystemInfoToolBody.h"

#include <QtTest>

class tst_CommandSystemInfoToolBody : public QObject
{
    Q_OBJECT
private slots:
    void loadFromString_data();
    void loadFromString();
    void writesKeysInOrder();
};

void tst_CommandSystemInfoToolBody::loadFromString_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("num");
    QTest::addColumn<QString>("str");
    QTest::addColumn<QStringList>("criticals");
    // The body starts as {"old", 7, "old"} so that kept values show.
    QTest::newRow("valid") << "{\"key\":\"/home\",\"num\":12,\"str\":\"x\"}"
                           << "/home" << 12 << "x" << QStringList();
    QTest::newRow("missing keys keep their values")
        << "{\"num\":3}"
        << "old" << 3 << "old" << QStringList{"LoadFromJson:no key found", "LoadFromJson:no str found"};
    QTest::newRow("wrong types keep their values")
        << "{\"key\":5,\"num\":\"9\",\"str\":[]}"
        << "old" << 7 << "old"
        << QStringList{"LoadFromJson:no key found", "LoadFromJson:no num found", "LoadFromJson:no str found"};
    QTest::newRow("fractional num reads as 0") << "{\"key\":\"\",\"num\":2.5,\"str\":\"\"}"
                                               << "" << 0 << "" << QStringList();
    QTest::newRow("num beyond 32 bits reads as 0") << "{\"key\":\"\",\"num\":4294967296,\"str\":\"\"}"
                                                   << "" << 0 << "" << QStringList();
    QTest::newRow("not an object") << "[1,2]"
                                   << "old" << 7 << "old"
                                   << QStringList{
                                          "CommandSystemInfoToolBody::LoadFromString:qjsonOdc is not object"};
    QTest::newRow("not JSON") << "C:\\"
                              << "old" << 7 << "old" << QStringList();
}

void tst_CommandSystemInfoToolBody::loadFromString()
{
    QFETCH(QString, text);
    QFETCH(QString, key);
    QFETCH(int, num);
    QFETCH(QString, str);
    QFETCH(QStringList, criticals);
    for (const QString& line : criticals)
        QTest::ignoreMessage(QtCriticalMsg, qPrintable(line));
    CommandSystemInfoToolBody body;
    body.key = QStringLiteral("old");
    body.num = 7;
    body.str = QStringLiteral("old");
    body.LoadFromString(text);
    QCOMPARE(body.key, key);
    QCOMPARE(body.num, num);
    QCOMPARE(body.str, str);
}

void tst_CommandSystemInfoToolBody::writesKeysInOrder()
{
    CommandSystemInfoToolBody body;
    QCOMPARE(body.ToString(), QStringLiteral("{\"key\":\"\",\"num\":0,\"str\":\"\"}"));
    body.key = QStringLiteral("C:\\");
    body.num = -1;
    body.str = QStringLiteral("a\"b");
    QCOMPARE(body.ToString(), QStringLiteral("{\"key\":\"C:\\\\\",\"num\":-1,\"str\":\"a\\\"b\"}"));
    CommandSystemInfoToolBody back;
    back.LoadFromString(body.ToString());
    QCOMPARE(back.ToString(), body.ToString());
}

QTEST_GUILESS_MAIN(tst_CommandSystemInfoToolBody)
#include "tst_CommandSystemInfoToolBody.moc"
