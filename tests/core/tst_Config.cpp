#include "core/Config.h"

#include <QtTest>

// Config is a single instance; each case loads a fresh file over it, so every key a case
// relies on is either written or checked against a load of a file without it.
class tst_Config : public QObject
{
    Q_OBJECT
private slots:
    void defaultsWithoutFile();
    void readsKeys_data();
    void readsKeys();
    void ownKeysFallBackOnBadValues();
    void updatePublicKey_data();
    void updatePublicKey();

private:
    void load(const QByteArray& _baText);
    QTemporaryDir m_dir;
};

void tst_Config::load(const QByteArray& _baText)
{
    const QString path = m_dir.filePath(QString("config-%1.ini").arg(qHash(_baText)));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(_baText);
    file.close();
    Config::Instance().Load(path);
}

void tst_Config::defaultsWithoutFile()
{
    Config& c = Config::Instance();
    c.Load(m_dir.filePath("missing.ini"));
    QCOMPARE(c.GetPort(), QString("5555"));
    QCOMPARE(c.GetWsPort(), QString("5556"));
    QCOMPARE(c.IsDebugMode(), false);
    QCOMPARE(c.GetLogLevel(), 1);
    QCOMPARE(c.GetFolder(), QString("folder"));
    QCOMPARE(c.GetBindAddress(), QString("127.0.0.1"));
    QCOMPARE(c.GetAllowedOrigins(), QStringList());
    QCOMPARE(c.GetMaxMessageBytes(), qint64(64 * 1024 * 1024));
    QCOMPARE(c.GetPreUninstTimeout(), 10000);
    QCOMPARE(c.GetPreUninstAction(), QString("preUninstall.sh"));
    QCOMPARE(c.GetPercentFilter(), 1);
    QVERIFY(c.GetPublicNetworkUrl().startsWith("https://"));
    QCOMPARE(c.GetDownloadStallSeconds(), 60);
    QCOMPARE(c.GetUpdatePublicKey(), QString());
    QCOMPARE(c.GetConfigPath(), m_dir.filePath("missing.ini"));
    QVERIFY(!QFile::exists(m_dir.filePath("missing.ini"))); // never written
}

void tst_Config::readsKeys_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("debug");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("port");
    QTest::newRow("debug on") << QByteArray("[debug]\ndebugmode=1\n") << true << 1 << "5555";
    QTest::newRow("debug 2 is off") << QByteArray("[debug]\ndebugmode=2\n") << false << 1 << "5555";
    QTest::newRow("level text gives 0") << QByteArray("[log]\nlevel=abc\n") << false << 0 << "5555";
    QTest::newRow("ports as written")
        << QByteArray("[message_service]\nport=6000\nwsport=6001\n[log]\nlevel=3\n") << false << 3 << "6000";
}

void tst_Config::readsKeys()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, debug);
    QFETCH(int, level);
    QFETCH(QString, port);
    load(text);
    QCOMPARE(Config::Instance().IsDebugMode(), debug);
    QCOMPARE(Config::Instance().GetLogLevel(), level);
    QCOMPARE(Config::Instance().GetPort(), port);
}

void tst_Config::ownKeysFallBackOnBadValues()
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("invalid value for maxMessageBytes"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("invalid value for downloadStallSeconds"));
    load("[message_service]\nbind=\nmaxMessageBytes=lots\nallowedOrigins=\"https://a.example, null ,,\"\n"
         "[network]\ndownloadStallSeconds=-5\n");
    QCOMPARE(Config::Instance().GetBindAddress(), QString("127.0.0.1"));
    QCOMPARE(Config::Instance().GetMaxMessageBytes(), Config::kDefaultMaxMessageBytes);
    QCOMPARE(Config::Instance().GetDownloadStallSeconds(), 60);
    QCOMPARE(Config::Instance().GetAllowedOrigins(), QStringList({"https://a.example", "null"}));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("maxMessageBytes 4294967296 above the limit"));
    load("[message_service]\nmaxMessageBytes=4294967296\n");
    QCOMPARE(Config::Instance().GetMaxMessageBytes(), 1024LL * 1024 * 1024);
}

void tst_Config::updatePublicKey_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("key");
    // Base64 holds '+', '/' and '=', which INI files must keep as written.
    const QString key = QStringLiteral("J4OgQWqPwcaA/KN7Rh6xZ1IpUaWtc+pziCCrBClybf4=");
    QTest::newRow("as written") << "[update]\npublicKey=" + key.toLatin1() + "\n" << key;
    QTest::newRow("quoted, blanks around") << "[update]\npublicKey=\" " + key.toLatin1() + " \"\n" << key;
    QTest::newRow("empty") << QByteArray("[update]\npublicKey=\n") << QString();
    QTest::newRow("in another group") << "[network]\npublicKey=" + key.toLatin1() + "\n" << QString();
}

void tst_Config::updatePublicKey()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, key);
    load(text);
    QCOMPARE(Config::Instance().GetUpdatePublicKey(), key);
}

QTEST_GUILESS_MAIN(tst_Config)
#include "tst_Config.moc"
