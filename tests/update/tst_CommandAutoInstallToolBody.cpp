// Parsing and writing of the update payload.
#include "update/CommandAutoInstallToolBody.h"

#include <QtTest>

class tst_CommandAutoInstallToolBody : public QObject
{
    Q_OBJECT
private slots:
    void loadFromString_data();
    void loadFromString();
    void writesOnlyWhatIsSet();
};

void tst_CommandAutoInstallToolBody::loadFromString_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("isObject");
    QTest::addColumn<QString>("written"); // what the parsed body writes back
    QTest::addColumn<int>("criticals");   // "LoadFromJson:no<key>found" lines

    const QString full =
        R"({"appid":"a","url":"u","md5":"m","signature":"c2ln","processName":"p","downloadPath":"/d",)"
        R"("bNoZip":true,"unzipPath":"/z","installPath":"/i","backupPath":"/b",)"
        R"("status":"s","percent":2.5})";
    QTest::newRow("every key") << full << true << full << 0;
    QTest::newRow("a request") << R"({"appid":"a","url":"u","processName":"p"})" << true
                               << R"({"appid":"a","percent":0,"processName":"p","url":"u"})" << 9;
    QTest::newRow("wrong types") << R"({"appid":1,"bNoZip":"yes","percent":"5","url":"u"})" << true
                                 << R"({"percent":0,"url":"u"})" << 11;
    QTest::newRow("not an object") << R"(["a"])" << false << R"({"percent":0})" << 0;
    QTest::newRow("not JSON") << "appid=a" << false << R"({"percent":0})" << 0;
}

void tst_CommandAutoInstallToolBody::loadFromString()
{
    QFETCH(QString, text);
    QFETCH(bool, isObject);
    QFETCH(QString, written);
    QFETCH(int, criticals);
    for (int i = 0; i < criticals; ++i)
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^LoadFromJson:no[A-Za-z0-9]+found$"));
    if (!isObject)
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^CommandInstallToolBody::LoadFromString:.+"));
    CommandAutoInstallToolBody body;
    QCOMPARE(body.LoadFromString(text), isObject);
    QCOMPARE(QJsonDocument::fromJson(body.ToString().toUtf8()), QJsonDocument::fromJson(written.toUtf8()));
}

void tst_CommandAutoInstallToolBody::writesOnlyWhatIsSet()
{
    CommandAutoInstallToolBody body;
    body.status = QStringLiteral("downloading");
    body.percent = 12.5;
    QCOMPARE(body.ToString(), QStringLiteral(R"({"percent":12.5,"status":"downloading"})"));
}

QTEST_APPLESS_MAIN(tst_CommandAutoInstallToolBody)
#include "tst_CommandAutoInstallToolBody.moc"
