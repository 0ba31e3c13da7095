#include "core/AppPaths.h"
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
    void badValueFallsBackWithOneLine_data();
    void badValueFallsBackWithOneLine();
    void goodValuesOfOwnKeys();
    void everyBadValueIsNamed();
    void shippedTemplateIsClean();
    void searchOrder_data();
    void searchOrder();
    void updatePublicKey_data();
    void updatePublicKey();

private:
    void load(const QByteArray& _baText);
    QString pathFor(const QByteArray& _baText) const;
    QTemporaryDir m_dir;
};

QString tst_Config::pathFor(const QByteArray& _baText) const
{
    return m_dir.filePath(QString("config-%1.ini").arg(qHash(_baText)));
}

void tst_Config::load(const QByteArray& _baText)
{
    const QString path = pathFor(_baText);
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
    QCOMPARE(c.Problems(), QStringList());
    QVERIFY(!QFile::exists(m_dir.filePath("missing.ini"))); // never written
}

void tst_Config::readsKeys_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("debug");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("port");
    QTest::newRow("debug on") << QByteArray("[debug]\ndebugmode=1\n") << true << 1 << "5555";
    QTest::newRow("ports as written")
        << QByteArray("[message_service]\nport=6000\nwsport=6001\n[log]\nlevel=3\n") << false << 3 << "6000";
    QTest::newRow("level by name") << QByteArray("[log]\nlevel=Critical\n") << false << 2 << "5555";
    QTest::newRow("port with blanks")
        << QByteArray("[message_service]\nport= 65535 \n") << false << 1 << "65535";
    QTest::newRow("lowest port") << QByteArray("[message_service]\nport=1\n") << false << 1 << "1";
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
    QCOMPARE(Config::Instance().Problems(), QStringList());
}

void tst_Config::badValueFallsBackWithOneLine_data()
{
    QTest::addColumn<QByteArray>("group");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("shownDefault");
    auto row = [](const char* _szGroup, const char* _szKey, const char* _szValue, const char* _szDefault) {
        QTest::addRow("%s=%s", _szKey, _szValue)
            << QByteArray(_szGroup) << QByteArray(_szKey) << QByteArray(_szValue) << QString(_szDefault);
    };
    row("log", "level", "banana", "1");
    row("log", "level", "4", "1");
    row("log", "level", "-1", "1");
    row("log", "maxFileMegabytes", "0", "64");
    row("log", "maxTotalMegabytes", "lots", "512");
    row("log", "journal", "some", "important");
    row("name", "folder", "../../../tmp/x", "folder");
    row("name", "folder", "a/b", "folder");
    row("name", "folder", "..", "folder");
    row("message_service", "port", "99999", "5555");
    row("message_service", "port", "0", "5555");
    row("message_service", "port", "\"\"", "5555");
    row("message_service", "wsport", "abc", "5556");
    row("message_service", "wsport", "5556x", "5556");
    row("message_service", "bind", "not an address", "127.0.0.1");
    row("message_service", "bind", "\"\"", "127.0.0.1");
    row("message_service", "bind", "300.1.1.1", "127.0.0.1");
    row("message_service", "allowedOrigins", "\"https://a.example/path, null\"", "(empty)");
    row("message_service", "maxMessageBytes", "4294967296", "67108864");
    row("message_service", "loginTimeoutSeconds", "0", "10");
    row("debug", "debugmode", "2", "0");
    row("debug", "debugmode", "on", "0");
    row("uninst", "preUninstTimeout", "-5", "10000");
    row("uninst", "preUninstAction", "../evil.sh", "preUninstall.sh");
    row("uninst", "percentFilter", "101", "1");
    row("network", "publicNetworkUrl", "ftp://example.com", "https://www.baidu.com");
    row("network", "publicNetworkUrl", "not a url", "https://www.baidu.com");
    row("network", "downloadStallSeconds", "-5", "60");
    row("network", "probeTimeoutSeconds", "3601", "15");
    row("snap", "snapKeepMegabytes", "1e3", "256");
}

// Each key's bad value: the service runs on the default, and one line says which key, which
// value and which default, so the user can find the mistake.
void tst_Config::badValueFallsBackWithOneLine()
{
    QFETCH(QByteArray, group);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QFETCH(QString, shownDefault);
    load("");
    const Config defaults = Config::Instance();
    load("[" + group + "]\n" + key + "=" + value + "\n");
    const Config& c = Config::Instance();
    const QStringList problems = c.Problems();
    QCOMPARE(problems.size(), 1);
    const QString shownValue = QString::fromUtf8(value).remove('"').remove('\\');
    QVERIFY2(problems.first().contains(QString("[%1] %2=\"%3\"").arg(group, key, shownValue)),
             qPrintable(problems.first()));
    QVERIFY2(problems.first().endsWith("using the default " + shownDefault), qPrintable(problems.first()));
    QCOMPARE(c.GetLogLevel(), defaults.GetLogLevel());
    QCOMPARE(c.GetMaxLogFileBytes(), defaults.GetMaxLogFileBytes());
    QCOMPARE(c.GetMaxLogTotalBytes(), defaults.GetMaxLogTotalBytes());
    QCOMPARE(c.IsJournalAll(), defaults.IsJournalAll());
    QCOMPARE(c.GetFolder(), defaults.GetFolder());
    QCOMPARE(c.GetPort(), defaults.GetPort());
    QCOMPARE(c.GetWsPort(), defaults.GetWsPort());
    QCOMPARE(c.GetBindAddress(), defaults.GetBindAddress());
    QCOMPARE(c.GetAllowedOrigins(), defaults.GetAllowedOrigins());
    QCOMPARE(c.GetMaxMessageBytes(), defaults.GetMaxMessageBytes());
    QCOMPARE(c.GetLoginTimeoutSeconds(), defaults.GetLoginTimeoutSeconds());
    QCOMPARE(c.GetDebugMode(), defaults.GetDebugMode());
    QCOMPARE(c.GetPreUninstTimeout(), defaults.GetPreUninstTimeout());
    QCOMPARE(c.GetPreUninstAction(), defaults.GetPreUninstAction());
    QCOMPARE(c.GetPercentFilter(), defaults.GetPercentFilter());
    QCOMPARE(c.GetPublicNetworkUrl(), defaults.GetPublicNetworkUrl());
    QCOMPARE(c.GetDownloadStallSeconds(), defaults.GetDownloadStallSeconds());
    QCOMPARE(c.GetProbeTimeoutSeconds(), defaults.GetProbeTimeoutSeconds());
    QCOMPARE(c.GetSnapKeepBytes(), defaults.GetSnapKeepBytes());
}

void tst_Config::goodValuesOfOwnKeys()
{
    load("[message_service]\nbind=\"::1\"\nallowedOrigins=\"https://a.example, null "
         ",,\"\nmaxMessageBytes=1073741824\n"
         "[log]\njournal=ALL\n[network]\npublicNetworkUrl=\n[uninst]\npercentFilter=0\n");
    const Config& c = Config::Instance();
    QCOMPARE(c.Problems(), QStringList());
    QCOMPARE(c.GetBindAddress(), QString("::1"));
    QCOMPARE(c.GetAllowedOrigins(), QStringList({"https://a.example", "null"}));
    QCOMPARE(c.GetMaxMessageBytes(), 1024LL * 1024 * 1024);
    QVERIFY(c.IsJournalAll());
    QCOMPARE(c.GetPublicNetworkUrl(), QString());
    QCOMPARE(c.GetPercentFilter(), 0);
}

// Each bad value is its own line; the good ones beside them are still taken.
void tst_Config::everyBadValueIsNamed()
{
    const QByteArray misspelt("[message_service]\nwsPort=6001\n[mesage_service]\nport=6000\n");
    load(misspelt);
    QCOMPARE(
        Config::Instance().Problems(),
        QStringList({pathFor(misspelt) + ": mesage_service/port is no key the service knows; ignored",
                     pathFor(misspelt) + ": message_service/wsPort is no key the service knows; ignored"}));
    QCOMPARE(Config::Instance().GetWsPort(), QString("5556"));

    load("[log]\nlevel=banana\n[message_service]\nport=99999\nwsport=6001\nbind=not an address\n"
         "[name]\nfolder=../../../tmp/x\n");
    const Config& c = Config::Instance();
    QCOMPARE(c.Problems().size(), 4);
    QCOMPARE(c.GetWsPort(), QString("6001"));
    QCOMPARE(c.GetFolder(), QString("folder"));
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

// The file users copy and the package installs must read without a single complaint.
void tst_Config::shippedTemplateIsClean()
{
    Config::Instance().Load(QStringLiteral(QORV_CONFIG_TEMPLATE));
    QCOMPARE(Config::Instance().Problems(), QStringList());
    QCOMPARE(Config::Instance().GetPort(), QString("5555"));
}

void tst_Config::searchOrder_data()
{
    QTest::addColumn<QStringList>("present"); // of "home", "first", "second", "beside"
    QTest::addColumn<QString>("read");
    QTest::newRow("the user's first") << QStringList{"home", "first", "beside"} << "home";
    QTest::newRow("then the system's in order") << QStringList{"first", "second", "beside"} << "first";
    QTest::newRow("a later system folder") << QStringList{"second", "beside"} << "second";
    QTest::newRow("beside the executable last") << QStringList{"beside"} << "beside";
    QTest::newRow("none: defaults") << QStringList{} << "";
}

void tst_Config::searchOrder()
{
    QFETCH(QStringList, present);
    QFETCH(QString, read);
    QTemporaryDir root;
    const QMap<QString, QString> files{{"home", root.filePath("home/qorv-utility-service/config.ini")},
                                       {"first", root.filePath("first/qorv-utility-service/config.ini")},
                                       {"second", root.filePath("second/qorv-utility-service/config.ini")},
                                       {"beside", Config::DefaultPath()}};
    qputenv("XDG_CONFIG_HOME", root.filePath("home").toUtf8());
    // A relative entry is skipped, as is an empty one.
    qputenv("XDG_CONFIG_DIRS",
            ("relative::" + root.filePath("first") + ":" + root.filePath("second")).toUtf8());
    QVERIFY(!QFile::exists(Config::DefaultPath()));
    for (const QString& name : present) {
        QVERIFY(QDir().mkpath(QFileInfo(files[name]).absolutePath()));
        QFile file(files[name]);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const QString found = AppPaths::ConfigFile();
    QFile::remove(Config::DefaultPath());
    QCOMPARE(found, files.value(read));
    QCOMPARE(AppPaths::ConfigCandidates(),
             QStringList({files["home"], files["first"], files["second"], files["beside"]}));
}

QTEST_GUILESS_MAIN(tst_Config)
#include "tst_Config.moc"
