#include "core/Config.h"
#include "install/Downloader.h"
#include "resources/QorvResources.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestFiles.h"
#include "tests/support/VendorKey.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace {

constexpr int kStallSeconds = 2;

// The bytes "/data?n=N" serves.
QByteArray Body(qint64 _nSize)
{
    return HttpTestServer::Pattern(_nSize);
}

QString Md5(const QByteArray& _baData)
{
    return QString::fromLatin1(QCryptographicHash::hash(_baData, QCryptographicHash::Md5).toHex());
}

// One download's signals.
struct Watch
{
    explicit Watch(Downloader& _downloader)
        : errors(&_downloader, &Downloader::signErrorOccurred),
          progress(&_downloader, &Downloader::signProgress),
          finished(&_downloader, &Downloader::signFinished),
          cancels(&_downloader, &Downloader::signCancelDownload)
    {
    }
    QString Error(int _nIndex) const { return errors.value(_nIndex).value(0).toString(); }
    // Waits until the download has ended one way or the other.
    bool WaitForEnd() const
    {
        return QTest::qWaitFor([&] { return !errors.isEmpty() || !finished.isEmpty(); }, 60000);
    }
    // Gives a late second report the chance to arrive before counting.
    static void Settle() { QTest::qWait(150); }

    QSignalSpy errors;
    QSignalSpy progress;
    QSignalSpy finished;
    QSignalSpy cancels;
};

// Every temporary file is gone: the folder holds only what the test expects.
QStringList FolderEntries(const QString& _qstrFolder)
{
    return QDir(_qstrFolder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// Bytes of the body have reached the temporary file beside the target (progress reports are
// choked by Qt and may not come for a transfer that pauses).
bool PartWritten(const QString& _qstrFolder)
{
    for (const QFileInfo& info : QDir(_qstrFolder).entryInfoList(QDir::Files | QDir::Hidden))
        if (info.fileName() != QLatin1String("file.bin") && info.size() > 0)
            return true;
    return false;
}

// Holds the process's file-size limit low while alive; writes past it fail instead of killing us.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t _nBytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit low = m_old;
        low.rlim_cur = _nBytes;
        m_blOk = setrlimit(RLIMIT_FSIZE, &low) == 0;
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_old); }
    bool Ok() const { return m_blOk; }

private:
    rlimit m_old{};
    bool m_blOk = false;
};

} // namespace

class tst_Downloader : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void downloads_data();
    void downloads();
    void md5Check_data();
    void md5Check();
    void failuresKeepTarget_data();
    void failuresKeepTarget();
    void stopMidTransfer_data();
    void stopMidTransfer();
    void stopWhenNotRunningOnlyCancels_data();
    void stopWhenNotRunningOnlyCancels();
    void httpsRedirects_data();
    void httpsRedirects();
    void redirectPolicy_data();
    void redirectPolicy();
    void errorTexts_data();
    void errorTexts();
    void resumes_data();
    void resumes();
    void rangeAnswersThatDoNotContinue_data();
    void rangeAnswersThatDoNotContinue();
    void stopDuringRetryWait_data();
    void stopDuringRetryWait();
    void firstRetryWaitsOneSecond();
    void signatures_data();
    void signatures();

private:
    QString Target(const QString& _qstrName = QStringLiteral("file.bin")) const
    {
        return m_pDir->path() + QLatin1Char('/') + _qstrName;
    }

    std::unique_ptr<HttpTestServer> m_pServer;
    std::unique_ptr<HttpTestServer> m_pTlsServer;
    std::unique_ptr<QTemporaryDir> m_pDir;
    QTemporaryDir m_configDir;
    // The vendor's key as config.ini holds it, and signatures of Body(size) by size.
    QString m_qstrPublicKey;
    std::unique_ptr<VendorKey> m_pVendorKey;
    QMap<qint64, QString> m_mapSignatures;
    QString Signature(qint64 _nSize)
    {
        if (!m_mapSignatures.contains(_nSize))
            m_mapSignatures.insert(_nSize, m_pVendorKey->Sign(Body(_nSize)));
        return m_mapSignatures.value(_nSize);
    }
};

void tst_Downloader::initTestCase()
{
    QVERIFY(m_configDir.isValid());
    const QString ini = m_configDir.filePath(QStringLiteral("config.ini"));
    WriteFile(ini, "[network]\ndownloadStallSeconds=" + QByteArray::number(kStallSeconds) + "\n");
    Config::Instance().Load(ini);
    QCOMPARE(Config::Instance().GetDownloadStallSeconds(), kStallSeconds);
    m_pServer = std::make_unique<HttpTestServer>();
    InitQorvResources();
    m_pVendorKey = std::make_unique<VendorKey>(m_configDir.path(), QStringLiteral("vendor"));
    m_qstrPublicKey = m_pVendorKey->PublicKey();
    QCOMPARE(m_qstrPublicKey.size(), 44);

    // A self-signed certificate that this process trusts, for the https server.
    QSslCertificate cert;
    QSslKey key;
    if (!HttpTestServer::MakeCertificate(m_configDir.path(), cert, key))
        return;
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.addCaCertificate(cert);
    QSslConfiguration::setDefaultConfiguration(conf);
    m_pTlsServer = std::make_unique<HttpTestServer>(cert, key);
}

void tst_Downloader::init()
{
    m_pDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_pDir->isValid());
    m_pServer->Reset();
}

void tst_Downloader::downloads_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("target");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("sizeKnown");
    QTest::newRow("content-length") << "/data?n=300000"
                                    << "file.bin" << qint64(300000) << true;
    QTest::newRow("no content-length") << "/data?n=300000&nolen"
                                       << "file.bin" << qint64(300000) << false;
    QTest::newRow("slowly") << "/data?n=100000&slow=5"
                            << "file.bin" << qint64(100000) << true;
    QTest::newRow("empty body") << "/data?n=0"
                                << "file.bin" << qint64(0) << true;
    QTest::newRow("missing folders created") << "/data?n=5000"
                                             << "a/b/c/file.bin" << qint64(5000) << true;
    QTest::newRow("relative redirect") << "/redirect?to=%2Fdata%3Fn%3D7000"
                                       << "file.bin" << qint64(7000) << true;
    QTest::newRow("two redirects") << "/redirect?to=%2Fredirect%3Fto%3D%252Fdata%253Fn%253D7000"
                                   << "file.bin" << qint64(7000) << true;
    QTest::newRow("replaces existing file") << "/data?n=4000"
                                            << "existing.bin" << qint64(4000) << true;
    QTest::newRow("over a symbolic link") << "/data?n=4000"
                                          << "link.bin" << qint64(4000) << true;
}

void tst_Downloader::downloads()
{
    QFETCH(QString, path);
    QFETCH(QString, target);
    QFETCH(qint64, size);
    QFETCH(bool, sizeKnown);
    // An existing file keeps its permissions; a link is replaced, and the file it named is untouched.
    const QFile::Permissions kept = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    QStringList entries{QFileInfo(target).fileName()};
    if (target == QLatin1String("existing.bin")) {
        WriteFile(Target(target), QByteArray(9000, 'x'));
        QVERIFY(QFile::setPermissions(Target(target), kept));
    } else if (target == QLatin1String("link.bin")) {
        WriteFile(Target("real.bin"), QByteArray(9000, 'x'));
        QVERIFY(QFile::link(Target("real.bin"), Target(target)));
        entries = QStringList{"link.bin", "real.bin"};
    }

    Downloader downloader;
    Watch watch(downloader);
    downloader.downloadFile(QUrl(m_pServer->Url(path)), Target(target), QString(), QStringLiteral("id-1"));
    QVERIFY(watch.WaitForEnd());
    Watch::Settle();
    QCOMPARE(watch.errors.count(), 0);
    QCOMPARE(watch.finished.count(), 1);
    QCOMPARE(watch.finished.at(0).at(0).toString(), QStringLiteral("id-1"));
    QVERIFY(downloader.IsFinished());
    QVERIFY(ReadFile(Target(target)) == Body(size));
    QCOMPARE(FolderEntries(QFileInfo(Target(target)).absolutePath()), entries);
    if (target == QLatin1String("existing.bin"))
        QCOMPARE(QFile::permissions(Target(target)) & 0x7077, kept); // owner, group, others
    if (target == QLatin1String("link.bin")) {
        QVERIFY(!QFileInfo(Target(target)).isSymLink());
        QVERIFY(ReadFile(Target("real.bin")) == QByteArray(9000, 'x'));
    }

    // Progress holds back the last byte of an announced size; an unknown size stays -1.
    qint64 last = -1;
    for (const QList<QVariant>& report : watch.progress) {
        const qint64 received = report.at(0).toLongLong();
        const qint64 total = report.at(1).toLongLong();
        QCOMPARE(report.at(2).toString(), QStringLiteral("id-1"));
        // Without a size the network library announces the total only with the last report.
        QVERIFY(total == size || (!sizeKnown && total == -1));
        QVERIFY(received >= last);
        QVERIFY(size == 0 || received < size);
        last = received;
    }
    if (size > 0) {
        QVERIFY(!watch.progress.isEmpty());
        QCOMPARE(last, size - 1);
    }
}

void tst_Downloader::md5Check_data()
{
    QTest::addColumn<QString>("md5");
    QTest::addColumn<bool>("ok");
    const QString good = Md5(Body(20000));
    QTest::newRow("lower case") << good.toLower() << true;
    QTest::newRow("upper case") << good.toUpper() << true;
    QTest::newRow("wrong") << Md5("other") << false;
}

void tst_Downloader::md5Check()
{
    QFETCH(QString, md5);
    QFETCH(bool, ok);
    Downloader downloader;
    Watch watch(downloader);
    downloader.downloadFile(QUrl(m_pServer->Url("/data?n=20000")), Target(), md5, QStringLiteral("id-md5"));
    QVERIFY(watch.WaitForEnd());
    Watch::Settle();
    QCOMPARE(watch.finished.count(), ok ? 1 : 0);
    QCOMPARE(watch.errors.count(), ok ? 0 : 1);
    if (!ok)
        QCOMPARE(watch.Error(0), QStringLiteral("MD5_FAILED_CONTACT_US|CHECK_SUM_FAILED"));
    // A file that fails the check stays where it was asked to go.
    QVERIFY(ReadFile(Target()) == Body(20000));
    QVERIFY(downloader.IsFinished());
}

void tst_Downloader::failuresKeepTarget_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("reports");
    // Errors from the network library arrive twice (error signal, then the finished reply);
    // failures found by the downloader itself once.
    QTest::newRow("404") << m_pServer->Url("/status/404") << 2;
    QTest::newRow("500") << m_pServer->Url("/status/500") << 2;
    // Every response is cut, and the server answers ranges with the whole file: the retries run
    // out and the last error is reported as before.
    QTest::newRow("cut mid-body, every time") << m_pServer->Url("/data?n=200000&cut=70000&norange") << 2;
    QTest::newRow("redirect without location") << m_pServer->Url("/redirect-noloc") << 2;
    QTest::newRow("redirect to ftp") << m_pServer->Url("/redirect?to=ftp%3A%2F%2F127.0.0.1%2Fx") << 2;
    QTest::newRow("redirect to file") << m_pServer->Url("/redirect?to=file%3A%2F%2F%2Fetc%2Fhostname") << 2;
    QTest::newRow("304 not followed") << m_pServer->Url("/status/304") << 1;
    QTest::newRow("stalled") << m_pServer->Url("/data?n=200000&stall=1000") << 1;
    QTest::newRow("connection refused") << QStringLiteral("http://127.0.0.1:1/x") << 2;
    QTest::newRow("file scheme") << QStringLiteral("file:///etc/hostname") << 1;
    QTest::newRow("no scheme") << QStringLiteral("/etc/hostname") << 1;
}

void tst_Downloader::failuresKeepTarget()
{
    QFETCH(QString, url);
    QFETCH(int, reports);
    WriteFile(Target(), "previous content");

    Downloader downloader;
    downloader.SetRetryWaits({0});
    Watch watch(downloader);
    downloader.downloadFile(QUrl(url), Target(), QString(), QStringLiteral("id-f"));
    QVERIFY(watch.WaitForEnd());
    Watch::Settle();
    QCOMPARE(watch.finished.count(), 0);
    QCOMPARE(watch.errors.count(), reports);
    for (const QList<QVariant>& report : watch.errors) {
        QCOMPARE(report.at(0).toString(), QStringLiteral("DOWNLOAD_FAILED_CHECK_NET|NET_WORDK_ERROR"));
        QCOMPARE(report.at(1).toString(), QStringLiteral("id-f"));
    }
    QCOMPARE(ReadFile(Target()), QByteArray("previous content"));
    QCOMPARE(FolderEntries(m_pDir->path()), QStringList{"file.bin"});
    QVERIFY(!downloader.IsFinished());
}

void tst_Downloader::stopMidTransfer_data()
{
    QTest::addColumn<bool>("destroy");
    QTest::newRow("stopDownload") << false;
    QTest::newRow("destructor") << true;
}

void tst_Downloader::stopMidTransfer()
{
    QFETCH(bool, destroy);
    WriteFile(Target(), "previous content");
    auto downloader = std::make_unique<Downloader>();
    Watch watch(*downloader);
    // The server sends a first part and then holds the transfer open, so the stop lands mid-run
    // however slow the build or the machine is.
    downloader->downloadFile(QUrl(m_pServer->Url("/data?n=2000000&stall=65536")), Target(), QString(),
                             QStringLiteral("id-s"));
    QVERIFY(QTest::qWaitFor([&] { return PartWritten(m_pDir->path()); }, 60000));
    // The bytes so far sit in a temporary file beside the target.
    QCOMPARE(FolderEntries(m_pDir->path()).size(), 2);
    QCOMPARE(ReadFile(Target()), QByteArray("previous content"));
    if (destroy)
        downloader.reset();
    else
        downloader->stopDownload();

    // The stop is reported first; the aborted reply then reports the cancellation twice.
    QCOMPARE(watch.errors.count(), 3);
    QCOMPARE(watch.Error(0), QStringLiteral("DOWNLOAD_FAILED_CHECK_NET|USER_STOPED"));
    QCOMPARE(watch.Error(1), QStringLiteral("DOWNLOAD_FAILED_CHECK_NET|NET_WORDK_ERROR"));
    QCOMPARE(watch.cancels.count(), 1);
    Watch::Settle();
    QCOMPARE(watch.errors.count(), 3);
    QCOMPARE(watch.finished.count(), 0);
    QCOMPARE(ReadFile(Target()), QByteArray("previous content"));
    QCOMPARE(FolderEntries(m_pDir->path()), QStringList{"file.bin"});
    if (!destroy) {
        // A second stop finds nothing running.
        downloader->stopDownload();
        QCOMPARE(watch.errors.count(), 3);
        QVERIFY(!downloader->IsFinished());
    }
}

void tst_Downloader::stopWhenNotRunningOnlyCancels_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("never started") << QString();
    QTest::newRow("after finished") << "/data?n=1000";
    QTest::newRow("after failure") << "/status/404";
}

void tst_Downloader::stopWhenNotRunningOnlyCancels()
{
    QFETCH(QString, path);
    Downloader downloader;
    Watch watch(downloader);
    if (!path.isEmpty()) {
        downloader.downloadFile(QUrl(m_pServer->Url(path)), Target(), QString(), QStringLiteral("id-n"));
        QVERIFY(watch.WaitForEnd());
        Watch::Settle();
    }
    const int errors = watch.errors.count();
    const int finished = watch.finished.count();
    downloader.stopDownload();
    QCOMPARE(watch.errors.count(), errors);
    QCOMPARE(watch.finished.count(), finished);
    QCOMPARE(watch.cancels.count(), 1);
    if (finished)
        QVERIFY(ReadFile(Target()) == Body(1000));
}

void tst_Downloader::httpsRedirects_data()
{
    QTest::addColumn<bool>("fromTls");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("toTls");
    QTest::addColumn<bool>("ok");
    QTest::newRow("https") << true << "/data?n=5000" << true << true;
    QTest::newRow("https to https") << true << "/redirect?to=" << true << true;
    QTest::newRow("http to https") << false << "/redirect?to=" << true << true;
    QTest::newRow("https to http refused") << true << "/redirect?to=" << false << false;
}

void tst_Downloader::httpsRedirects()
{
    QFETCH(bool, fromTls);
    QFETCH(QString, path);
    QFETCH(bool, toTls);
    QFETCH(bool, ok);
    if (!m_pTlsServer)
        QSKIP("no TLS: the openssl command or Qt's TLS backend is missing");
    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral(":/i18n/qorv-utility-service_zh_CN.qm")));
    QVERIFY(QCoreApplication::installTranslator(&translator));
    const QString data = (toTls ? m_pTlsServer : m_pServer)->Url("/data?n=5000");
    if (path.endsWith(QLatin1Char('=')))
        path += QString::fromLatin1(QUrl::toPercentEncoding(data));
    const QString url = (fromTls ? m_pTlsServer : m_pServer)->Url(path);
    WriteFile(Target(), "previous content");

    Downloader downloader;
    Watch watch(downloader);
    downloader.downloadFile(QUrl(url), Target(), Md5(Body(5000)), QStringLiteral("id-tls"));
    QVERIFY(watch.WaitForEnd());
    Watch::Settle();
    QCOMPARE(watch.finished.count(), ok ? 1 : 0);
    QCOMPARE(watch.errors.count(), ok ? 0 : 1);
    if (ok) {
        QVERIFY(ReadFile(Target()) == Body(5000));
    } else {
        QCOMPARE(
            watch.Error(0),
            QStringLiteral("安装/更新包下载失败，请检查网络|网络异常[11][Redirect from %1 to %2 refused]")
                .arg(url, data));
        QCOMPARE(ReadFile(Target()), QByteArray("previous content"));
    }
    QCOMPARE(FolderEntries(m_pDir->path()), QStringList{"file.bin"});
}

void tst_Downloader::redirectPolicy_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("http to http") << "http://a/x"
                                  << "http://b/y" << true;
    QTest::newRow("http to https") << "http://a/x"
                                   << "https://a/x" << true;
    QTest::newRow("https to https") << "https://a/x"
                                    << "https://b/y" << true;
    QTest::newRow("https to http") << "https://a/x"
                                   << "http://a/x" << false;
    QTest::newRow("http to ftp") << "http://a/x"
                                 << "ftp://a/x" << false;
    QTest::newRow("http to file") << "http://a/x"
                                  << "file:///etc/passwd" << false;
    QTest::newRow("https to data") << "https://a/x"
                                   << "data:,hello" << false;
    QTest::newRow("to nothing") << "http://a/x" << QString() << false;
}

void tst_Downloader::redirectPolicy()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(bool, allowed);
    QCOMPARE(Downloader::IsRedirectAllowed(QUrl(from), QUrl(to)), allowed);
}

namespace {
enum class Scenario { NotFound, WrongMd5, Stop, OpenFailed, CreatePathFailed, FullDisk, Stall };
}
Q_DECLARE_METATYPE(Scenario)

void tst_Downloader::errorTexts_data()
{
    QTest::addColumn<Scenario>("scenario");
    QTest::addColumn<bool>("chinese");
    // {file} is the target, {dir} the temporary folder, {url} the requested URL.
    QTest::addColumn<QString>("expected");
    const QString net = QStringLiteral("安装/更新包下载失败，请检查网络|");
    QTest::newRow("404 zh") << Scenario::NotFound << true
                            << net + "网络异常[203][Error transferring {url} - server replied: Status]";
    QTest::newRow("404 bare") << Scenario::NotFound << false << "DOWNLOAD_FAILED_CHECK_NET|NET_WORDK_ERROR";
    QTest::newRow("md5 zh") << Scenario::WrongMd5 << true
                            << QStringLiteral("安装/更新包MD5值异常，请联系服务人员|MD5校验失败[{file}][") +
                                   Md5(Body(3000)).toUpper() + "][0123456789abcdef0123456789abcdef]";
    QTest::newRow("stop zh") << Scenario::Stop << true << net + "已停止";
    QTest::newRow("stop bare") << Scenario::Stop << false << "DOWNLOAD_FAILED_CHECK_NET|USER_STOPED";
    QTest::newRow("open zh") << Scenario::OpenFailed << true << net + "打开文件失败[{file}]";
    QTest::newRow("open bare") << Scenario::OpenFailed << false
                               << "DOWNLOAD_FAILED_CHECK_NET|OPEN_FILE_FAILED";
    QTest::newRow("path zh") << Scenario::CreatePathFailed << true
                             << net + "路径创建失败[{dir}/blocker: it is not a folder]";
    QTest::newRow("full disk zh") << Scenario::FullDisk << true
                                  << net + "写入文件失败[{url}][{file}][262144]";
    QTest::newRow("full disk bare") << Scenario::FullDisk << false
                                    << "DOWNLOAD_FAILED_CHECK_NET|WRITE_FILE_FAILED";
    QTest::newRow("stall zh")
        << Scenario::Stall << true
        << net + QStringLiteral("网络异常[4][No data received for %1 s]").arg(kStallSeconds);
}

void tst_Downloader::errorTexts()
{
    QFETCH(Scenario, scenario);
    QFETCH(bool, chinese);
    QFETCH(QString, expected);
    QTranslator translator;
    if (chinese) {
        QVERIFY(translator.load(QStringLiteral(":/i18n/qorv-utility-service_zh_CN.qm")));
        QVERIFY(QCoreApplication::installTranslator(&translator));
    }
    QString file = Target();
    QString url = m_pServer->Url("/data?n=3000");
    QString md5;
    WriteFile(Target(), "previous content");
    std::unique_ptr<FileSizeLimit> limit;
    switch (scenario) {
    case Scenario::NotFound:
        url = m_pServer->Url("/status/404");
        break;
    case Scenario::WrongMd5:
        md5 = QStringLiteral("0123456789abcdef0123456789abcdef");
        break;
    case Scenario::Stop:
        url = m_pServer->Url("/data?n=2000000&stall=65536");
        break;
    case Scenario::OpenFailed:
        file = m_pDir->path() + QStringLiteral("/folder");
        QVERIFY(QDir(m_pDir->path()).mkdir(QStringLiteral("folder")));
        break;
    case Scenario::CreatePathFailed:
        WriteFile(m_pDir->path() + QStringLiteral("/blocker"), "a file where a folder should be");
        file = m_pDir->path() + QStringLiteral("/blocker/sub/file.bin");
        break;
    case Scenario::FullDisk:
        url = m_pServer->Url("/data?n=1048576");
        limit = std::make_unique<FileSizeLimit>(256 * 1024);
        QVERIFY2(limit->Ok(), "setrlimit(RLIMIT_FSIZE) failed");
        break;
    case Scenario::Stall:
        url = m_pServer->Url("/data?n=3000&stall=100");
        break;
    }

    Downloader downloader;
    // The texts of the first failure: no retries.
    downloader.SetRetryWaits({});
    Watch watch(downloader);
    downloader.downloadFile(QUrl(url), file, md5, QStringLiteral("id-t"));
    if (scenario == Scenario::Stop) {
        QVERIFY(QTest::qWaitFor([&] { return PartWritten(m_pDir->path()); }, 60000));
        downloader.stopDownload();
    }
    QVERIFY(watch.WaitForEnd());
    limit.reset();
    QCOMPARE(watch.finished.count(), 0);
    expected.replace(QLatin1String("{file}"), file)
        .replace(QLatin1String("{dir}"), m_pDir->path())
        .replace(QLatin1String("{url}"), url);
    QCOMPARE(watch.Error(0), expected);
    QCOMPARE(watch.errors.at(0).at(1).toString(), QStringLiteral("id-t"));

    // Only an MD5 failure replaces the previous file; nothing else leaves a trace.
    if (scenario == Scenario::WrongMd5)
        QVERIFY(ReadFile(Target()) == Body(3000));
    else
        QCOMPARE(ReadFile(Target()), QByteArray("previous content"));
    QStringList entries = FolderEntries(m_pDir->path());
    entries.removeOne(QStringLiteral("folder"));
    entries.removeOne(QStringLiteral("blocker"));
    QCOMPARE(entries, QStringList{"file.bin"});
}

namespace {

constexpr qint64 kMiB = 1024 * 1024;

// Progress rises with every report, never names bytes twice, holds back the last byte and names
// the whole length throughout.
void CheckProgress(const QSignalSpy& _progress, qint64 _nSize)
{
    QVERIFY(!_progress.isEmpty());
    qint64 last = -1;
    for (const QList<QVariant>& report : _progress) {
        const qint64 received = report.at(0).toLongLong();
        QVERIFY2(received > last, qPrintable(QStringLiteral("%1 after %2").arg(received).arg(last)));
        QCOMPARE(report.at(1).toLongLong(), _nSize);
        last = received;
    }
    QCOMPARE(last, _nSize - 1);
}

qint64 RangeStart(const QByteArray& _baHead)
{
    const QByteArray range = HttpTestServer::Header(_baHead, "Range");
    return range.startsWith("bytes=") && range.endsWith('-') ? range.mid(6).chopped(1).toLongLong() : -1;
}

} // namespace

void tst_Downloader::resumes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("checks"); // MD5 and signature both required
    QTest::addColumn<int>("requests");
    QTest::addColumn<QByteArray>("ifRange"); // of the second request
    QTest::addColumn<double>("wire");        // most bytes sent, in files; 0: unbounded
    const QString eight = QStringLiteral("/data?n=%1").arg(8 * kMiB);
    const QString cutAtFive = eight + QStringLiteral("&cut=%1&cuts=1").arg(5 * kMiB);
    QTest::newRow("cut at 5 of 8 MiB, then ranges")
        << cutAtFive << 8 * kMiB << false << 2 << QByteArray("\"n-8388608\"") << 1.15;
    QTest::newRow("the same with MD5 and signature")
        << cutAtFive << 8 * kMiB << true << 2 << QByteArray("\"n-8388608\"") << 1.15;
    QTest::newRow("Last-Modified as the validator") << cutAtFive + "&lastmod" << 8 * kMiB << true << 2
                                                    << QByteArray("Tue, 01 Oct 2024 10:00:00 GMT") << 1.15;
    QTest::newRow("no validator: the range alone")
        << cutAtFive + "&novalidator" << 8 * kMiB << true << 2 << QByteArray() << 1.15;
    QTest::newRow("cut three times") << eight + QStringLiteral("&cut=%1&cuts=3").arg(2 * kMiB) << 8 * kMiB
                                     << true << 4 << QByteArray("\"n-8388608\"") << 1.15;
    QTest::newRow("server ignores Range: starts over")
        << cutAtFive + "&norange" << 8 * kMiB << true << 2 << QByteArray("\"n-8388608\"") << 0.0;
    QTest::newRow("file changed since: If-Range answered with the whole file")
        << cutAtFive + "&newetag" << 8 * kMiB << true << 2 << QByteArray("\"v0\"") << 0.0;
    QTest::newRow("small file cut at the first byte")
        << "/data?n=3000&cut=1&cuts=1" << qint64(3000) << true << 2 << QByteArray("\"n-3000\"") << 0.0;
}

void tst_Downloader::resumes()
{
    QFETCH(QString, path);
    QFETCH(qint64, size);
    QFETCH(bool, checks);
    QFETCH(int, requests);
    QFETCH(QByteArray, ifRange);
    QFETCH(double, wire);
    WriteFile(Target(), "previous content");
    Body(size);
    Downloader downloader;
    downloader.SetRetryWaits({0, 0, 0, 0, 0});
    if (checks)
        downloader.RequireSignature(m_qstrPublicKey, Signature(size));
    Watch watch(downloader);
    downloader.downloadFile(QUrl(m_pServer->Url(path)), Target(), checks ? Md5(Body(size)) : QString(),
                            QStringLiteral("id-r"));
    QVERIFY(watch.WaitForEnd());
    Watch::Settle();
    QCOMPARE(watch.errors.count(), 0);
    QCOMPARE(watch.finished.count(), 1);
    QVERIFY(ReadFile(Target()) == Body(size));
    QCOMPARE(FolderEntries(m_pDir->path()), QStringList{"file.bin"});
    CheckProgress(watch.progress, size);

    QCOMPARE(m_pServer->Requests().size(), requests);
    QCOMPARE(RangeStart(m_pServer->Requests().at(0)), qint64(-1));
    const QByteArray second = m_pServer->Requests().at(1);
    QCOMPARE(HttpTestServer::Header(second, "If-Range"), ifRange);
    QCOMPARE(HttpTestServer::Header(second, "Accept-Encoding"), QByteArray("identity"));
    if (size == 8 * kMiB && requests == 2)
        QVERIFY2(RangeStart(second) >= 4 * kMiB, second.constData());
    // Each retry asks for exactly what was not yet on disk.
    for (const QByteArray& request : m_pServer->Requests().mid(1))
        QVERIFY2(RangeStart(request) > 0, request.constData());
    if (wire > 0)
        QVERIFY2(m_pServer->BodyBytesSent() <= wire * size,
                 qPrintable(QString::number(m_pServer->BodyBytesSent())));
}

void tst_Downloader::rangeAnswersThatDoNotContinue_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("reports");
    QTest::newRow("206 that starts elsewhere") << "/data?n=200000&cut=50000&cuts=1&badrange" << 1;
    QTest::newRow("416") << "/data?n=200000&cut=50000&cuts=1&range416" << 2;
}

void tst_Downloader::rangeAnswersThatDoNotContinue()
{
    QFETCH(QString, path);
    QFETCH(int, reports);
    WriteFile(Target(), "previous content");
    Downloader downloader;
    downloader.SetRetryWaits({0, 0, 0, 0, 0});
    Watch watch(downloader);
    downloader.downloadFile(QUrl(m_pServer->Url(path)), Target(), QString(), QStringLiteral("id-x"));
    QVERIFY(watch.WaitForEnd());
    Watch::Settle();
    QCOMPARE(watch.finished.count(), 0);
    QCOMPARE(watch.errors.count(), reports);
    QCOMPARE(watch.Error(0), QStringLiteral("DOWNLOAD_FAILED_CHECK_NET|NET_WORDK_ERROR"));
    // No second retry after an answer that fails.
    QCOMPARE(m_pServer->Requests().size(), 2);
    QCOMPARE(ReadFile(Target()), QByteArray("previous content"));
    QCOMPARE(FolderEntries(m_pDir->path()), QStringList{"file.bin"});
}

void tst_Downloader::stopDuringRetryWait_data()
{
    QTest::addColumn<bool>("destroy");
    QTest::newRow("stopDownload") << false;
    QTest::newRow("destructor") << true;
}

void tst_Downloader::stopDuringRetryWait()
{
    QFETCH(bool, destroy);
    WriteFile(Target(), "previous content");
    auto downloader = std::make_unique<Downloader>();
    downloader->SetRetryWaits({1500});
    Watch watch(*downloader);
    downloader->downloadFile(QUrl(m_pServer->Url("/data?n=200000&cut=50000&cuts=1")), Target(), QString(),
                             QStringLiteral("id-w"));
    // The cut part is in the temporary file; the downloader waits for its retry.
    QVERIFY(QTest::qWaitFor([&] { return PartWritten(m_pDir->path()); }, 60000));
    QTest::qWait(300);
    QCOMPARE(m_pServer->Requests().size(), 1);
    QCOMPARE(watch.errors.count(), 0);
    if (destroy)
        downloader.reset();
    else
        downloader->stopDownload();
    // The stop is the one report: no reply is there to report a cancellation.
    QCOMPARE(watch.errors.count(), 1);
    QCOMPARE(watch.Error(0), QStringLiteral("DOWNLOAD_FAILED_CHECK_NET|USER_STOPED"));
    QCOMPARE(FolderEntries(m_pDir->path()), QStringList{"file.bin"});
    QCOMPARE(ReadFile(Target()), QByteArray("previous content"));
    // The retry never comes.
    QTest::qWait(1800);
    QCOMPARE(m_pServer->Requests().size(), 1);
    QCOMPARE(watch.errors.count(), 1);
    QCOMPARE(watch.finished.count(), 0);
}

void tst_Downloader::firstRetryWaitsOneSecond()
{
    QCOMPARE(Downloader::kRetryWaitsMs, (QVector<int>{1000, 2000, 4000, 8000, 16000}));
    Downloader downloader;
    Watch watch(downloader);
    downloader.downloadFile(QUrl(m_pServer->Url("/data?n=200000&cut=50000&cuts=1")), Target(), QString(),
                            QStringLiteral("id-1s"));
    QVERIFY(watch.WaitForEnd());
    QCOMPARE(watch.finished.count(), 1);
    QVERIFY(ReadFile(Target()) == Body(200000));
    QCOMPARE(m_pServer->RequestTimes().size(), 2);
    const qint64 gap = m_pServer->RequestTimes().at(1) - m_pServer->RequestTimes().at(0);
    QVERIFY2(gap >= 1000 && gap < 10000, qPrintable(QString::number(gap)));
}

void tst_Downloader::signatures_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("signature");
    QTest::addColumn<bool>("chinese");
    // Empty: the download finishes. {file} is the target.
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("requests");
    const QString good = Signature(20000);
    QTest::newRow("valid") << m_qstrPublicKey << good << false << QString() << 1;
    QTest::newRow("no key: the signature is not looked at")
        << QString() << "not base64 at all" << false << QString() << 1;
    QTest::newRow("of another file") << m_qstrPublicKey << Signature(20001) << false
                                     << "SIGNATURE_FAILED_CONTACT_US|SIGNATURE_MISMATCH" << 1;
    QTest::newRow("of another file, zh") << m_qstrPublicKey << Signature(20001) << true
                                         << "安装/更新包签名校验失败，请联系服务人员|签名不符[{file}]" << 1;
    QTest::newRow("missing: nothing is fetched")
        << m_qstrPublicKey << QString() << true << "安装/更新包签名校验失败，请联系服务人员|缺少签名" << 0;
    QTest::newRow("not Base64: nothing is fetched")
        << m_qstrPublicKey << "%%%" << false << "SIGNATURE_FAILED_CONTACT_US|SIGNATURE_NOT_BASE64" << 0;
    QTest::newRow("malformed key: nothing is fetched")
        << "c2hvcnQ=" << good << true << "安装/更新包签名校验失败，请联系服务人员|配置的公钥无效" << 0;
}

void tst_Downloader::signatures()
{
    QFETCH(QString, key);
    QFETCH(QString, signature);
    QFETCH(bool, chinese);
    QFETCH(QString, error);
    QFETCH(int, requests);
    QTranslator translator;
    if (chinese) {
        QVERIFY(translator.load(QStringLiteral(":/i18n/qorv-utility-service_zh_CN.qm")));
        QVERIFY(QCoreApplication::installTranslator(&translator));
    }
    Downloader downloader;
    downloader.RequireSignature(key, signature);
    Watch watch(downloader);
    downloader.downloadFile(QUrl(m_pServer->Url("/data?n=20000")), Target(), Md5(Body(20000)),
                            QStringLiteral("id-sig"));
    QVERIFY(watch.WaitForEnd());
    Watch::Settle();
    QCOMPARE(m_pServer->Requests().size(), requests);
    QCOMPARE(watch.finished.count(), error.isEmpty() ? 1 : 0);
    QCOMPARE(watch.errors.count(), error.isEmpty() ? 0 : 1);
    if (!error.isEmpty())
        QCOMPARE(watch.Error(0), error.replace(QLatin1String("{file}"), Target()));
}

QTEST_GUILESS_MAIN(tst_Downloader)
#include "tst_Downloader.moc"
