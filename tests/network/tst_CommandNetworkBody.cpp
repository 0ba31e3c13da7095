#include "network/CommandNetworkBody.h"

#include <QtTest>

// What a client's body turns into once parsed and written back: the answer's address list.
class tst_CommandNetworkBody : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
};

void tst_CommandNetworkBody::roundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("written");
    QTest::newRow("address order, result before url")
        << R"([{"url":"http://b/","result":1},{"url":"http://a/","result":0}])"
        << R"([{"result":0,"url":"http://a/"},{"result":1,"url":"http://b/"}])";
    QTest::newRow("a later duplicate wins") << R"([{"url":"u","result":1},{"url":"u","result":2}])"
                                            << R"([{"result":2,"url":"u"}])";
    QTest::newRow("elements without a string url and a numeric result dropped")
        << R"([{"url":"u"},{"url":"v","result":"0"},{"url":5,"result":0},"w",[],{"url":"x","result":3}])"
        << R"([{"result":3,"url":"x"}])";
    QTest::newRow("empty array") << "[]"
                                 << "[]";
    QTest::newRow("an object") << R"({"url":"u","result":0})"
                               << "[]";
    QTest::newRow("not JSON") << "[{"
                              << "[]";
    QTest::newRow("empty text") << ""
                                << "[]";
}

void tst_CommandNetworkBody::roundTrip()
{
    QFETCH(QString, text);
    QFETCH(QString, written);
    CommandNetworkBody body;
    body.LoadFromString(text);
    QCOMPARE(body.ToString(), written);
}

QTEST_GUILESS_MAIN(tst_CommandNetworkBody)
#include "tst_CommandNetworkBody.moc"
