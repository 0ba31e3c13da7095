// The update's three stages without the service: the order their reports come in, folders of the
// user's refused before anything is fetched, and the downloaded file a toolbox destroyed in the
// middle leaves behind. What each stage's failure answers is tested through the running service.
#include "update/ToolBox.h"

#include "tests/support/HttpTestServer.h"
#include "tests/support/TestFiles.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/stat.h>

using UpdateTool::ToolBox;

class tst_ToolBox : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void stagesInOrder();
    void userFoldersRefusedBeforeFetching_data();
    void userFoldersRefusedBeforeFetching();
    void destroyedWhileDownloading_data();
    void destroyedWhileDownloading();
    void foldersOpenToOthersRefusedBeforeFetching_data();
    void foldersOpenToOthersRefusedBeforeFetching();
    void unzipFolderSwappedBeforeReplaceInstallsNothing();
    void stopStartsNoOtherStage_data();
    void stopStartsNoOtherStage();

private:
    QString Path(const QString& _qstrName) const { return m_pDir->path() + QLatin1Char('/') + _qstrName; }

    HttpTestServer m_http;
    QTemporaryDir m_home;
    std::unique_ptr<QTemporaryDir> m_pDir;
    QByteArray m_baZip;
    // Installs the served archive into Path("inst"), through work folders below the test's folder.
    CommandAutoInstallToolBody m_body;
};

void tst_ToolBox::initTestCase()
{
    // Records of the folders a run makes, and replace journals, stay in the test's folder.
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_home.path() + "/state"));
    // Large enough that every stage reports progress before it ends.
    WriteTree(m_home.path() + "/content", {{"/a.txt", HttpTestServer::Pattern(300000)}, {"/sub/b.txt", "b"}});
    QProcess zip;
    zip.setWorkingDirectory(m_home.path() + "/content");
    zip.start("zip", {"-q", "-r", "-0", m_home.path() + "/pkg.zip", "."});
    QVERIFY(zip.waitForFinished(60000) && zip.exitCode() == 0);
    m_baZip = ReadFile(m_home.path() + "/pkg.zip");
    m_http.Add("pkg.zip", m_baZip);
    m_http.Add("big.bin", HttpTestServer::Pattern(4 * 1024 * 1024));
}

void tst_ToolBox::init()
{
    m_pDir = std::make_unique<QTemporaryDir>();
    WriteTree(Path("inst"), {{"/a.txt", "old a"}});
    m_body.appid = QStringLiteral("app");
    m_body.url = m_http.Url("/f/pkg.zip");
    m_body.md5 = QCryptographicHash::hash(m_baZip, QCryptographicHash::Md5).toHex();
    m_body.downloadPath = Path("dl/pkg.zip");
    m_body.unzipPath = Path("unzip");
    m_body.backupPath = Path("backup");
    m_body.installPath = Path("inst");
}

void tst_ToolBox::stagesInOrder()
{
    ToolBox box("app", m_body, "id-1");
    QSignalSpy progress(&box, &ToolBox::signProgress);
    QSignalSpy finished(&box, &ToolBox::signFinished);
    QSignalSpy errors(&box, &ToolBox::signErrorOccurred);
    box.startInstall();
    QVERIFY(finished.wait(30000));
    QCOMPARE(errors.size(), 0);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().value(0).toString(), QStringLiteral("id-1"));
    QList<int> stages;
    for (const QList<QVariant>& report : qAsConst(progress))
        if (stages.isEmpty() || stages.last() != report.value(0).toInt())
            stages << report.value(0).toInt();
    QCOMPARE(stages, (QList<int>{UpdateTool::kDownloading, UpdateTool::kUnzipping, UpdateTool::kReplacing}));
    QCOMPARE(ReadFile(Path("inst/sub/b.txt")), QByteArray("b"));
}

void tst_ToolBox::userFoldersRefusedBeforeFetching_data()
{
    QTest::addColumn<bool>("unzip");
    QTest::addColumn<int>("stage");
    QTest::newRow("unzip folder") << true << int(UpdateTool::kUnzipping);
    QTest::newRow("backup folder") << false << int(UpdateTool::kReplacing);
}

void tst_ToolBox::userFoldersRefusedBeforeFetching()
{
    QFETCH(bool, unzip);
    QFETCH(int, stage);
    WriteFile(Path("mine/letter.txt"), "my letter");
    (unzip ? m_body.unzipPath : m_body.backupPath) = Path("mine");
    const int before = m_http.TotalHits();
    ToolBox box("app", m_body, "id-2");
    QSignalSpy errors(&box, &ToolBox::signErrorOccurred);
    box.startInstall();
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.first().value(0).toInt(), stage);
    QVERIFY(errors.first().value(1).toString().endsWith(Path("mine")));
    QCOMPARE(m_http.TotalHits(), before);
    QCOMPARE(ReadFile(Path("mine/letter.txt")), QByteArray("my letter"));
}

void tst_ToolBox::destroyedWhileDownloading_data()
{
    QTest::addColumn<bool>("existed");
    QTest::newRow("a file of the user's: kept") << true;
    QTest::newRow("a file of this run: removed") << false;
}

void tst_ToolBox::destroyedWhileDownloading()
{
    QFETCH(bool, existed);
    QVERIFY(QDir().mkpath(Path("dl")));
    if (existed)
        WriteFile(Path("dl/pkg.zip"), "the user's");
    m_body.url = m_http.Url("/slow/big.bin");
    auto box = std::make_unique<ToolBox>("app", m_body, "id-3");
    QSignalSpy progress(box.get(), &ToolBox::signProgress);
    box->startInstall();
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty(), 30000);
    box.reset();
    const QStringList left = existed ? QStringList{"pkg.zip"} : QStringList();
    QTRY_COMPARE_WITH_TIMEOUT(QDir(Path("dl")).entryList(QDir::Files | QDir::Hidden), left, 10000);
    if (existed)
        QCOMPARE(ReadFile(Path("dl/pkg.zip")), QByteArray("the user's"));
}

void tst_ToolBox::foldersOpenToOthersRefusedBeforeFetching_data()
{
    QTest::addColumn<QString>("folder"); // the path of the body given below the open folder
    QTest::addColumn<int>("stage");
    // "@": the open folder. The download's text is the downloader's, untranslated here.
    QTest::addColumn<QString>("text");
    QTest::newRow("download") << "download" << int(UpdateTool::kDownloading)
                              << "DOWNLOAD_FAILED_CHECK_NET|CREATE_PATH_FAILED";
    QTest::newRow("unzip") << "unzip" << int(UpdateTool::kUnzipping)
                           << "refused: the unzip folder is not closed to other users:@: other users may "
                              "write into it";
    QTest::newRow("backup") << "backup" << int(UpdateTool::kReplacing)
                            << "refused: the backup folder is not closed to other users:@: other users may "
                               "write into it";
    QTest::newRow("install") << "install" << int(UpdateTool::kReplacing)
                             << "refused: the install folder is not closed to other users:@: other users may "
                                "write into it";
}

void tst_ToolBox::foldersOpenToOthersRefusedBeforeFetching()
{
    QFETCH(QString, folder);
    QFETCH(int, stage);
    QFETCH(QString, text);
    // The review's case: a shared folder that is not sticky, where another user could swap
    // what lies below it while the run goes on.
    const QString open = Path("upd");
    QVERIFY(QDir().mkpath(open));
    QVERIFY(::chmod(QFile::encodeName(open).constData(), 0777) == 0);
    if (folder == "download")
        m_body.downloadPath = open + "/dl/pkg.zip";
    else if (folder == "unzip")
        m_body.unzipPath = open + "/unzip/";
    else if (folder == "backup")
        m_body.backupPath = open + "/backup";
    else
        m_body.installPath = open + "/inst";
    const int before = m_http.TotalHits();
    ToolBox box("app", m_body, "id-4");
    QSignalSpy errors(&box, &ToolBox::signErrorOccurred);
    box.startInstall();
    QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 10000);
    QCOMPARE(errors.first().value(0).toInt(), stage);
    QCOMPARE(errors.first().value(1).toString(), text.replace("@", open));
    QCOMPARE(m_http.TotalHits(), before);
    QVERIFY(QDir(open).isEmpty());
    QCOMPARE(ReadFile(Path("inst/a.txt")), QByteArray("old a"));
}

void tst_ToolBox::unzipFolderSwappedBeforeReplaceInstallsNothing()
{
    ToolBox box("app", m_body, "id-5");
    QSignalSpy finished(&box, &ToolBox::signFinished);
    QSignalSpy errors(&box, &ToolBox::signErrorOccurred);
    // Once the last bytes are extracted, before the replace starts, the folder is put aside and
    // another one takes its name.
    bool swapped = false;
    connect(&box, &ToolBox::signProgress, this,
            [&](int _emStatus, qint64 _nDone, qint64 _nTotal, const QString&) {
                if (_emStatus != UpdateTool::kUnzipping || _nDone != _nTotal || swapped)
                    return;
                swapped = QDir().rename(Path("unzip"), Path("unzip-extracted"));
                WriteTree(Path("unzip"), {{"/a.txt", "planted a"}, {"/preUninstall.sh", "planted script"}});
            });
    box.startInstall();
    QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 30000);
    QVERIFY(swapped);
    QCOMPARE(errors.first().value(0).toInt(), int(UpdateTool::kReplacing));
    QCOMPARE(errors.first().value(1).toString(),
             "refused: the unzip folder is no longer the folder extracted into:" + m_body.unzipPath);
    QCOMPARE(finished.size(), 0);
    QCOMPARE(QDir(Path("inst")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"a.txt"});
    QCOMPARE(ReadFile(Path("inst/a.txt")), QByteArray("old a"));
}

void tst_ToolBox::stopStartsNoOtherStage_data()
{
    QTest::addColumn<int>("stage"); // stopped at this stage's first report, or the extraction's last
    QTest::newRow("downloading") << int(UpdateTool::kDownloading);
    // The extraction may already have ended when the stop comes: its end must not start the replace.
    QTest::newRow("unziping, at its last bytes") << int(UpdateTool::kUnzipping);
}

void tst_ToolBox::stopStartsNoOtherStage()
{
    QFETCH(int, stage);
    if (stage == UpdateTool::kDownloading)
        m_body.url = m_http.Url("/slow/pkg.zip");
    ToolBox box("app", m_body, "id-6");
    QSignalSpy finished(&box, &ToolBox::signFinished);
    QSignalSpy errors(&box, &ToolBox::signErrorOccurred);
    QList<int> stages;
    bool stopped = false;
    connect(&box, &ToolBox::signProgress, this,
            [&](int _emStatus, qint64 _nDone, qint64 _nTotal, const QString&) {
                stages << _emStatus;
                if (stopped || _emStatus != stage || (stage == UpdateTool::kUnzipping && _nDone != _nTotal))
                    return;
                stopped = true;
                box.stopInstall();
            });
    box.startInstall();
    QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty() || !finished.isEmpty(), 30000);
    QVERIFY(stopped);
    QVERIFY(!errors.isEmpty());
    // Nothing of a later stage comes (a download may report its stop more than once).
    QVERIFY(!QTest::qWaitFor([&] { return !finished.isEmpty() || stages.contains(UpdateTool::kReplacing); },
                             300));
    for (const QList<QVariant>& error : qAsConst(errors))
        QCOMPARE(error.value(0).toInt(), stage);
    QCOMPARE(ReadFile(Path("inst/a.txt")), QByteArray("old a"));
    QVERIFY(!QFileInfo::exists(Path("inst/sub")));
}

QTEST_GUILESS_MAIN(tst_ToolBox)
#include "tst_ToolBox.moc"
