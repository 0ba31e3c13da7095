#include "install/ReplaceHelper.h"
#include "install/ReplaceJournal.h"
#include "resources/QorvResources.h"
#include "tests/support/FileMode.h"
#include "tests/support/TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include <atomic>

#include <unistd.h>

namespace {

// Every regular file and link under a folder, by relative path, with its bytes (a link: "->target").
Tree ReadTree(const QString& _qstrRoot)
{
    Tree tree;
    QDirIterator it(_qstrRoot, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString relative = path.mid(_qstrRoot.length());
        if (info.isSymLink()) {
            tree.insert(relative, "->" + QFile::encodeName(info.symLinkTarget()));
            continue;
        }
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        tree.insert(relative, file.readAll());
    }
    return tree;
}

QByteArray Bytes(char _chFill, int _nSize)
{
    return QByteArray(_nSize, _chFill);
}

// The error text as a user sees it with the Chinese translation installed.
QString Text(const char* _szDetail, const QStringList& _listArgs = {})
{
    QString detail = QCoreApplication::translate("ReplaceHelper", _szDetail);
    for (const QString& arg : _listArgs)
        detail = detail.arg(arg);
    return QCoreApplication::translate("ReplaceHelper", "INSTALL_UPDATE_FAILED") + QLatin1Char('|') + detail;
}

// Records a worker signal the way an owner receives it: queued to this thread, never touched from
// the worker. wait() returns once one more emission than last time has arrived.
class Recorder : public QObject, public QList<QVariantList>
{
public:
    template <typename... Args> Recorder(ReplaceHelper* _pHelper, void (ReplaceHelper::*_pSignal)(Args...))
    {
        connect(
            _pHelper, _pSignal, this,
            [this](Args... _args) { append(QVariantList{QVariant::fromValue(_args)...}); },
            Qt::QueuedConnection);
    }
    bool wait(int _nTimeoutMs)
    {
        const int wanted = m_nSeen + 1;
        if (!QTest::qWaitFor([&] { return size() >= wanted; }, _nTimeoutMs))
            return false;
        m_nSeen = size();
        return true;
    }

private:
    int m_nSeen = 0;
};

} // namespace

class TestReplaceHelper : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void replaceSavesOverwrittenFiles();
    void progressOfManySmallFilesIsBounded();
    void refusedBeforeTouchingAnything_data();
    void refusedBeforeTouchingAnything();
    void linkedFilesInTheSource_data();
    void linkedFilesInTheSource();
    void stopMidRunRestoresThisRunsFiles();
    void failureRestoresBeforeItIsReported();
    void restoreNeverUsesAnEarlierRunsBackup();
    void onlyBackupFoldersItCreatedAreEmptied();
    void destinationLinksAreReplacedNotFollowed();
    void secondRunOnABusyFolderIsRefused();
    void journalIsWrittenAndRemoved();
    void rollBackRestoresOnlyCompleteEntries();
    void treeShapesAreReplaced_data();
    void treeShapesAreReplaced();
    void linksPlantedDuringARunAreNotFollowed_data();
    void linksPlantedDuringARunAreNotFollowed();
    void foldersDirectlyInStickyTmpAreUsed();

private:
    QString m_qstrSource;
    QString m_qstrDestination;
    QString m_qstrBackup;
    std::unique_ptr<QTemporaryDir> m_pDir;
    QTemporaryDir m_dirState;
    QTranslator m_translator;
};

void TestReplaceHelper::initTestCase()
{
    qRegisterMetaType<qint64>("qint64");
    QVERIFY(m_dirState.isValid());
    // Journals and the list of owned backup folders go to a private state folder.
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dirState.path()));
    InitQorvResources();
    QVERIFY(m_translator.load(QStringLiteral(":/i18n/qorv-utility-service_zh_CN.qm")));
    QVERIFY(QCoreApplication::installTranslator(&m_translator));
}

void TestReplaceHelper::init()
{
    m_pDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_pDir->isValid());
    m_qstrSource = m_pDir->path() + QStringLiteral("/src");
    m_qstrDestination = m_pDir->path() + QStringLiteral("/dest");
    m_qstrBackup = m_pDir->path() + QStringLiteral("/bak");
}

void TestReplaceHelper::cleanup()
{
    // Read-only files left by a case must not keep the folder from going away.
    QDirIterator it(m_pDir->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        QFile(it.next()).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    m_pDir.reset();
    QDir(ReplaceJournal::JournalFolder()).removeRecursively();
}

void TestReplaceHelper::replaceSavesOverwrittenFiles()
{
    WriteTree(m_qstrSource, {{"/a.txt", "new a"},
                             {"/sub/b.bin", Bytes('B', 300000)},
                             {"/sub/deep/c.txt", "new c"},
                             {"/empty.txt", ""},
                             {"/.hidden", "new hidden"}});
    WriteTree(m_qstrDestination, {{"/a.txt", "old a, longer than the new one"},
                                  {"/sub/b.bin", Bytes('b', 10)},
                                  {"/keep.txt", "untouched"},
                                  {"/empty.txt", "old content of a file the source has empty"}});
    const QString readOnly = m_qstrDestination + QStringLiteral("/sub/b.bin");
    QVERIFY(QFile(readOnly).setPermissions(QFileDevice::ReadOwner));

    ReplaceHelper helper;
    Recorder progress(&helper, &ReplaceHelper::signReplaceProgress);
    Recorder finished(&helper, &ReplaceHelper::signReplaceFinished);
    Recorder failed(&helper, &ReplaceHelper::signErrorOccurred);
    helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup, QStringLiteral("t1"));
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().at(0).toString(), QStringLiteral("t1"));
    QCOMPARE(failed.count(), 0);

    const Tree expected{{"/a.txt", "new a"},
                        {"/sub/b.bin", Bytes('B', 300000)},
                        {"/sub/deep/c.txt", "new c"},
                        {"/keep.txt", "untouched"},
                        {"/empty.txt", "old content of a file the source has empty"},
                        {"/.hidden", "new hidden"}};
    QCOMPARE(ReadTree(m_qstrDestination), expected);
    // Only files that existed and were overwritten are saved.
    const Tree saved{{"/a.txt", "old a, longer than the new one"}, {"/sub/b.bin", Bytes('b', 10)}};
    QCOMPARE(ReadTree(m_qstrBackup), saved);

    const qint64 total = 5 + 300000 + 5 + 10;
    QVERIFY(progress.count() >= 2);
    QCOMPARE(progress.first().at(0).toLongLong(), 0);
    QCOMPARE(progress.last().at(0).toLongLong(), total);
    QCOMPARE(progress.last().at(1).toLongLong(), total);
    QVERIFY(helper.IsFinished());
    QVERIFY(QDir(ReplaceJournal::JournalFolder()).isEmpty());
}

void TestReplaceHelper::progressOfManySmallFilesIsBounded()
{
    Tree source;
    for (int i = 0; i < 2500; ++i)
        source.insert(QStringLiteral("/d%1/f%2.txt").arg(i % 10).arg(i), QByteArray::number(i));
    WriteTree(m_qstrSource, source);
    ReplaceHelper helper;
    Recorder progress(&helper, &ReplaceHelper::signReplaceProgress);
    Recorder finished(&helper, &ReplaceHelper::signReplaceFinished);
    helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup, QStringLiteral("p"));
    QVERIFY(finished.wait(60000));
    QCOMPARE(ReadTree(m_qstrDestination), source);
    QVERIFY2(progress.count() > 100 && progress.count() <= ReplaceHelper::kMaxProgressReports + 2,
             qPrintable(QString::number(progress.count())));
    QCOMPARE(progress.last().at(0), progress.last().at(1));
    for (int i = 1; i < progress.count(); ++i)
        QVERIFY(progress.at(i).at(0).toLongLong() > progress.at(i - 1).at(0).toLongLong());
}

void TestReplaceHelper::refusedBeforeTouchingAnything_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("backup");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QStringList>("args");

    // {S}, {D}, {B}: this case's source, destination and backup; {U} a folder of the user's with
    // a file in it; {E} a source holding only an empty file; {M} a folder that does not exist.
    QTest::newRow("empty backup folder") << "{S}"
                                         << "{D}"
                                         << ""
                                         << "BACKUP_FOLDER_EMPTY" << QStringList();
    QTest::newRow("relative source") << "src"
                                     << "{D}"
                                     << "{B}"
                                     << "INVALID_PATH" << QStringList{"src"};
    QTest::newRow("relative backup") << "{S}"
                                     << "{D}"
                                     << "bak"
                                     << "INVALID_PATH" << QStringList{"bak"};
    QTest::newRow("root destination") << "{S}"
                                      << "/"
                                      << "{B}"
                                      << "INVALID_PATH" << QStringList{"/"};
    QTest::newRow("control character") << "{S}"
                                       << "{D}/a\nb"
                                       << "{B}"
                                       << "INVALID_PATH" << QStringList{"{D}/a\nb"};
    QTest::newRow("user's own non-empty folder as backup") << "{S}"
                                                           << "{D}"
                                                           << "{U}"
                                                           << "BACKUP_FOLDER_NOT_OWNED" << QStringList{"{U}"};
    QTest::newRow("backup inside destination") << "{S}"
                                               << "{D}"
                                               << "{D}/bak"
                                               << "PATHS_OVERLAP" << QStringList{"{D}/bak", "{D}"};
    QTest::newRow("destination inside source") << "{S}"
                                               << "{S}/sub"
                                               << "{B}"
                                               << "PATHS_OVERLAP" << QStringList{"{S}", "{S}/sub"};
    QTest::newRow("source without bytes") << "{E}"
                                          << "{D}"
                                          << "{B}"
                                          << "ANALYZE_FILE_LIST_FAILED_EMPTY_FOLDER" << QStringList{"{E}"};
    QTest::newRow("missing source") << "{M}"
                                    << "{D}"
                                    << "{B}"
                                    << "ANALYZE_FILE_LIST_FAILED_EMPTY_FOLDER" << QStringList{"{M}"};
    // {O}: a folder open to every user's writes, holding a source; {F}: another user's folder.
    QTest::newRow("source under a folder open to all")
        << "{O}/src"
        << "{D}"
        << "{B}"
        << "CREATE_PATH_FAILED" << QStringList{"{O}: other users may write into it"};
    QTest::newRow("destination under a folder open to all")
        << "{S}"
        << "{O}/dest"
        << "{B}"
        << "CREATE_PATH_FAILED" << QStringList{"{O}: other users may write into it"};
    QTest::newRow("backup under a folder open to all")
        << "{S}"
        << "{D}"
        << "{O}/bak"
        << "CREATE_PATH_FAILED" << QStringList{"{O}: other users may write into it"};
    QTest::newRow("destination under another user's folder")
        << "{S}"
        << "{F}/dest"
        << "{B}"
        << "CREATE_PATH_FAILED" << QStringList{"{F}: it belongs to another user (uid 65534)"};
    QTest::newRow("a folder link in the source") << "{K}"
                                                 << "{D}"
                                                 << "{B}"
                                                 << "COPY_FILE_FAILED" << QStringList{"{K}/lib", "{D}/lib"};
}

void TestReplaceHelper::refusedBeforeTouchingAnything()
{
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(QString, backup);
    QFETCH(QString, detail);
    QFETCH(QStringList, args);

    const QString user = m_pDir->path() + QStringLiteral("/mine");
    const QString empty = m_pDir->path() + QStringLiteral("/emptysrc");
    const QString open = m_pDir->path() + QStringLiteral("/open");
    const QString foreign = m_pDir->path() + QStringLiteral("/theirs");
    const QString linkedFolder = m_pDir->path() + QStringLiteral("/linked-folder");
    if (QString(QTest::currentDataTag()).contains("another user") && ::geteuid() != 0)
        QSKIP("giving a folder to another user needs root");
    auto expand = [&](QString _qstrText) {
        return _qstrText.replace(QStringLiteral("{S}"), m_qstrSource)
            .replace(QStringLiteral("{D}"), m_qstrDestination)
            .replace(QStringLiteral("{B}"), m_qstrBackup)
            .replace(QStringLiteral("{U}"), user)
            .replace(QStringLiteral("{E}"), empty)
            .replace(QStringLiteral("{M}"), m_pDir->path() + QStringLiteral("/missing"))
            .replace(QStringLiteral("{O}"), open)
            .replace(QStringLiteral("{F}"), foreign)
            .replace(QStringLiteral("{K}"), linkedFolder);
    };
    for (QString& arg : args)
        arg = expand(arg);

    WriteTree(m_qstrSource, {{"/a.txt", "new a"}, {"/sub/x.txt", "new x"}});
    WriteTree(m_qstrDestination, {{"/a.txt", "old a"}, {"/sub/x.txt", "old x"}});
    WriteTree(user, {{"/precious.txt", "the user's own file"}});
    WriteTree(empty, {{"/only-empty.txt", ""}});
    WriteTree(open + QStringLiteral("/src"), {{"/a.txt", "planted a"}});
    QVERIFY(QFile::setPermissions(open, QFileDevice::ReadOther | QFileDevice::WriteOther |
                                            QFileDevice::ExeOther | QFileDevice::ReadOwner |
                                            QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    QVERIFY(QDir().mkpath(foreign));
    if (::geteuid() == 0)
        QVERIFY(::chown(QFile::encodeName(foreign).constData(), 65534, 65534) == 0);
    // A link of the user's own to a folder elsewhere.
    WriteTree(linkedFolder, {{"/a.txt", "new a"}});
    QVERIFY(QFile::link(m_qstrSource, linkedFolder + QStringLiteral("/lib")));
    const Tree destinationBefore = ReadTree(m_qstrDestination);
    const Tree userBefore = ReadTree(user);
    const QStringList openBefore = QDir(open).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    ReplaceHelper helper;
    Recorder failed(&helper, &ReplaceHelper::signErrorOccurred);
    Recorder finished(&helper, &ReplaceHelper::signReplaceFinished);
    helper.startReplace(expand(source), expand(destination), QString(), true, expand(backup),
                        QStringLiteral("id"));
    QVERIFY(failed.wait(10000));
    const QString error = Text(detail.toLatin1().constData(), args);
    QCOMPARE(failed.first().at(0).toString(), error);
    QCOMPARE(failed.first().at(1).toString(), QStringLiteral("id"));
    QCOMPARE(helper.LastError(), error);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(ReadTree(m_qstrDestination), destinationBefore);
    QCOMPARE(ReadTree(user), userBefore);
    QVERIFY(!QFileInfo::exists(m_qstrBackup));
    QVERIFY(QDir(ReplaceJournal::JournalFolder()).isEmpty());
    QCOMPARE(QDir(open).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), openBefore);
    QVERIFY(QDir(foreign).isEmpty());
}

void TestReplaceHelper::linkedFilesInTheSource_data()
{
    // Where the source's /sub/x.txt leads ({O}: a folder others may write into); what the
    // destination then holds, or empty when the replace must fail with COPY_FILE_FAILED.
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("copied");
    QTest::newRow("beside it, through a chain of links") << "chain" << QByteArray("real x");
    QTest::newRow("the user's file elsewhere") << "{T}/x.txt" << QByteArray("elsewhere x");
    QTest::newRow("through a folder open to all") << "{O}/x.txt" << QByteArray();
    QTest::newRow("a link of another user") << "foreign" << QByteArray();
}

void TestReplaceHelper::linkedFilesInTheSource()
{
    QFETCH(QString, target);
    QFETCH(QByteArray, copied);
    if (target == "foreign" && ::geteuid() != 0)
        QSKIP("giving a link to another user needs root");
    const QString elsewhere = m_pDir->path() + QStringLiteral("/elsewhere");
    const QString open = m_pDir->path() + QStringLiteral("/open");
    WriteTree(elsewhere, {{"/x.txt", "elsewhere x"}});
    WriteTree(open, {{"/x.txt", "planted x"}});
    QVERIFY(::chmod(QFile::encodeName(open).constData(), 0777) == 0);
    WriteTree(m_qstrSource, {{"/a.txt", "new a"}, {"/sub/real.txt", "real x"}});
    WriteTree(m_qstrDestination, {{"/a.txt", "old a"}, {"/sub/x.txt", "old x"}});
    const QByteArray link = QFile::encodeName(m_qstrSource + QStringLiteral("/sub/x.txt"));
    if (target == "chain") {
        QVERIFY(::symlink("middle", link.constData()) == 0);
        QVERIFY(QFile::link(QStringLiteral("real.txt"), m_qstrSource + QStringLiteral("/sub/middle")));
    } else if (target == "foreign") {
        QVERIFY(::symlink("real.txt", link.constData()) == 0);
        QVERIFY(::lchown(link.constData(), 65534, 65534) == 0);
    } else {
        QVERIFY(QFile::link(QString(target).replace("{T}", elsewhere).replace("{O}", open),
                            QFile::decodeName(link)));
    }

    ReplaceHelper helper;
    Recorder failed(&helper, &ReplaceHelper::signErrorOccurred);
    Recorder finished(&helper, &ReplaceHelper::signReplaceFinished);
    helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup, QStringLiteral("l"));
    QTRY_VERIFY_WITH_TIMEOUT(failed.count() + finished.count() > 0, 10000);
    if (copied.isEmpty()) {
        QCOMPARE(failed.count(), 1);
        QVERIFY(failed.first().at(0).toString().startsWith(
            Text("COPY_FILE_FAILED", {m_qstrSource + "/sub/x.txt", m_qstrDestination + "/sub/x.txt"})));
        QCOMPARE(ReadFile(m_qstrDestination + QStringLiteral("/sub/x.txt")), QByteArray("old x"));
    } else {
        QCOMPARE(finished.count(), 1);
        // The file's bytes, not a link: the destination holds a file of its own.
        QCOMPARE(ReadFile(m_qstrDestination + QStringLiteral("/sub/x.txt")), copied);
        QVERIFY(!QFileInfo(m_qstrDestination + QStringLiteral("/sub/x.txt")).isSymLink());
    }
}

void TestReplaceHelper::stopMidRunRestoresThisRunsFiles()
{
    Tree source;
    Tree destination;
    for (int i = 0; i < 40; ++i) {
        const QString name = QStringLiteral("/f%1.bin").arg(i, 2, 10, QLatin1Char('0'));
        source.insert(name, Bytes('N', 50000 + i));
        // Every other file is new to the destination.
        if (i % 2 == 0)
            destination.insert(name, Bytes('o', 1000 + i));
    }
    WriteTree(m_qstrSource, source);
    WriteTree(m_qstrDestination, destination);

    ReplaceHelper helper;
    std::atomic<bool> held{false};
    // Runs on the worker: holds the run after its tenth file until the stop has been asked for.
    connect(
        &helper, &ReplaceHelper::signReplaceProgress, &helper,
        [&](qint64 _nDone, qint64, QString) {
            if (held || _nDone < 10 * 50000)
                return;
            held = true;
            if (!QTest::qWaitFor([&] { return helper.IsStopRequested(); }, 20000))
                qWarning() << "the stop did not come";
        },
        Qt::DirectConnection);
    Recorder failed(&helper, &ReplaceHelper::signErrorOccurred);
    Recorder finished(&helper, &ReplaceHelper::signReplaceFinished);
    helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup, QStringLiteral("s"));
    QVERIFY(QTest::qWaitFor([&] { return held.load(); }, 20000));
    helper.stopReplace();

    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 10000);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(failed.first().at(0).toString(), QStringLiteral("安装/更新失败|已停止"));
    // Files that existed have their old bytes; new files stay; no temporary file is left.
    const Tree after = ReadTree(m_qstrDestination);
    int added = 0;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (destination.contains(it.key()))
            QCOMPARE(it.value(), destination.value(it.key()));
        else {
            QCOMPARE(it.value(), source.value(it.key()));
            ++added;
        }
    }
    QVERIFY2(added > 0 && added < 20, qPrintable(QString::number(added)));
    QVERIFY(QDir(ReplaceJournal::JournalFolder()).isEmpty());
    // A second stop, and the destructor, neither report nor restore again.
    helper.stopReplace();
    QCoreApplication::processEvents();
    QCOMPARE(failed.count(), 1);
}

void TestReplaceHelper::failureRestoresBeforeItIsReported()
{
    WriteTree(m_qstrSource, {{"/a.txt", "new a"}, {"/b.txt", "new b"}, {"/c/inner.txt", "new inner"}});
    WriteTree(m_qstrDestination, {{"/a.txt", "old a"}, {"/b.txt", "old b"}});
    // A folder where the source has a file: the run fails on it after replacing a and b.
    QVERIFY(QDir().mkpath(m_qstrDestination + QStringLiteral("/c/inner.txt/x")));
    {
        ReplaceHelper helper;
        Recorder failed(&helper, &ReplaceHelper::signErrorOccurred);
        helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup,
                            QStringLiteral("f"));
        QVERIFY(failed.wait(10000));
        QCOMPARE(failed.first().at(0).toString(),
                 Text("COPY_FILE_FAILED", {m_qstrSource + QStringLiteral("/c/inner.txt"),
                                           m_qstrDestination + QStringLiteral("/c/inner.txt")}));
        // The worker has restored before it reports, so its owner never waits for a restore.
        const Tree after = ReadTree(m_qstrDestination);
        QCOMPARE(after.value("/a.txt"), QByteArray("old a"));
        QCOMPARE(after.value("/b.txt"), QByteArray("old b"));
        QVERIFY(QDir(ReplaceJournal::JournalFolder()).isEmpty());
    }
    QCOMPARE(ReadTree(m_qstrDestination).value("/a.txt"), QByteArray("old a"));
}

void TestReplaceHelper::restoreNeverUsesAnEarlierRunsBackup()
{
    WriteTree(m_qstrSource, {{"/a.txt", "version 2"}});
    WriteTree(m_qstrDestination, {{"/a.txt", "version 1"}});
    {
        ReplaceHelper first;
        Recorder finished(&first, &ReplaceHelper::signReplaceFinished);
        first.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup,
                           QStringLiteral("1"));
        QVERIFY(finished.wait(10000));
    }
    QCOMPARE(ReadTree(m_qstrBackup).value("/a.txt"), QByteArray("version 1"));
    WriteFile(m_qstrDestination + QStringLiteral("/a.txt"), "version 3, the user's latest");

    // A second run that ends before its backup preparation: version 1 must not come back.
    {
        ReplaceHelper second;
        Recorder failed(&second, &ReplaceHelper::signErrorOccurred);
        second.startReplace(m_pDir->path() + QStringLiteral("/missing"), m_qstrDestination, QString(), true,
                            m_qstrBackup, QStringLiteral("2"));
        QVERIFY(failed.wait(10000));
    }
    QCOMPARE(ReadTree(m_qstrDestination).value("/a.txt"), QByteArray("version 3, the user's latest"));
}

void TestReplaceHelper::onlyBackupFoldersItCreatedAreEmptied()
{
    WriteTree(m_qstrSource, {{"/a.txt", "new a"}});
    WriteTree(m_qstrDestination, {{"/a.txt", "old a"}, {"/b.txt", "old b"}});
    ReplaceHelper helper;
    Recorder finished(&helper, &ReplaceHelper::signReplaceFinished);
    Recorder failed(&helper, &ReplaceHelper::signErrorOccurred);
    helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup, QStringLiteral("1"));
    QVERIFY(finished.wait(10000));

    // The second run empties the folder the first one filled, and saves only its own files.
    QDir(m_qstrSource).removeRecursively();
    WriteTree(m_qstrSource, {{"/b.txt", "new b"}});
    helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup, QStringLiteral("2"));
    QVERIFY(finished.wait(10000));
    QCOMPARE(failed.count(), 0);
    QCOMPARE(ReadTree(m_qstrBackup), (Tree{{"/b.txt", "old b"}}));

    // Once the user has deleted it and made a folder of that name again, it is theirs.
    QVERIFY(QDir(m_qstrBackup).removeRecursively());
    WriteTree(m_qstrBackup, {{"/mine.txt", "the user's"}});
    helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup, QStringLiteral("3"));
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.first().at(0).toString(), Text("BACKUP_FOLDER_NOT_OWNED", {m_qstrBackup}));
    QCOMPARE(ReadTree(m_qstrBackup), (Tree{{"/mine.txt", "the user's"}}));

    // An empty folder of the user's is used, but not emptied for a later run.
    const QString empty = m_pDir->path() + QStringLiteral("/empty-bak");
    QVERIFY(QDir().mkpath(empty));
    helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, empty, QStringLiteral("4"));
    QVERIFY(finished.wait(10000));
    helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, empty, QStringLiteral("5"));
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.last().at(0).toString(), Text("BACKUP_FOLDER_NOT_OWNED", {empty}));
    QCOMPARE(ReadTree(empty), (Tree{{"/b.txt", "new b"}}));
}

void TestReplaceHelper::destinationLinksAreReplacedNotFollowed()
{
    const QString outside = m_pDir->path() + QStringLiteral("/outside");
    WriteTree(outside, {{"/target.txt", "outside file"}, {"/escape/x.txt", "outside x"}});
    WriteTree(m_qstrSource, {{"/link.txt", "new link content"}, {"/a.txt", "new a"}});
    WriteTree(m_qstrDestination, {{"/a.txt", "old a"}});
    QVERIFY(QFile::link(outside + QStringLiteral("/target.txt"),
                        m_qstrDestination + QStringLiteral("/link.txt")));

    ReplaceHelper helper;
    Recorder finished(&helper, &ReplaceHelper::signReplaceFinished);
    helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup, QStringLiteral("l"));
    QVERIFY(finished.wait(10000));
    QCOMPARE(ReadTree(outside).value("/target.txt"), QByteArray("outside file"));
    QVERIFY(!QFileInfo(m_qstrDestination + QStringLiteral("/link.txt")).isSymLink());
    QVERIFY(QFileInfo(m_qstrBackup + QStringLiteral("/link.txt")).isSymLink());

    // A linked folder inside the destination cannot lead a write out of it.
    QDir(m_qstrSource).removeRecursively();
    WriteTree(m_qstrSource, {{"/escape/x.txt", "new x"}});
    QVERIFY(QFile::link(outside + QStringLiteral("/escape"), m_qstrDestination + QStringLiteral("/escape")));
    Recorder failed(&helper, &ReplaceHelper::signErrorOccurred);
    helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup, QStringLiteral("e"));
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.first().at(0).toString(),
             Text("PATH_OUTSIDE_FOLDER", {m_qstrDestination + QStringLiteral("/escape/x.txt")}));
    QCOMPARE(ReadTree(outside).value("/escape/x.txt"), QByteArray("outside x"));
}

void TestReplaceHelper::secondRunOnABusyFolderIsRefused()
{
    WriteTree(m_qstrSource, {{"/a.bin", Bytes('a', 1000)}, {"/b.bin", Bytes('b', 1000)}});
    ReplaceHelper first;
    std::atomic<bool> held{false};
    connect(
        &first, &ReplaceHelper::signReplaceProgress, &first,
        [&](qint64 _nDone, qint64, QString) {
            if (_nDone == 0 || held)
                return;
            held = true;
            if (!QTest::qWaitFor([&] { return first.IsStopRequested(); }, 20000))
                qWarning() << "the stop did not come";
        },
        Qt::DirectConnection);
    first.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup, QStringLiteral("1"));
    QVERIFY(QTest::qWaitFor([&] { return held.load(); }, 20000));

    ReplaceHelper second;
    Recorder failed(&second, &ReplaceHelper::signErrorOccurred);
    second.startReplace(m_qstrSource, m_qstrDestination + QStringLiteral("/sub"), QString(), true,
                        m_pDir->path() + QStringLiteral("/bak2"), QStringLiteral("2"));
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.first().at(0).toString(),
             Text("PATH_BUSY", {m_qstrDestination + QStringLiteral("/sub")}));
    first.stopReplace();
}

void TestReplaceHelper::journalIsWrittenAndRemoved()
{
    WriteTree(m_qstrSource, {{"/a.txt", "new a"}, {"/b.txt", "new b"}});
    WriteTree(m_qstrDestination, {{"/a.txt", "old a"}});
    ReplaceHelper helper;
    QStringList journals;
    ReplaceJournal::Record record;
    connect(
        &helper, &ReplaceHelper::signReplaceProgress, &helper,
        [&](qint64 _nDone, qint64 _nTotal, QString) {
            if (_nDone != _nTotal)
                return;
            // The last file is in place, the run has not yet said it completed.
            journals = QDir(ReplaceJournal::JournalFolder()).entryList(QDir::Files);
            if (journals.size() == 1)
                ReplaceJournal::Read(ReplaceJournal::JournalFolder() + QLatin1Char('/') + journals.first(),
                                     record);
        },
        Qt::DirectConnection);
    Recorder finished(&helper, &ReplaceHelper::signReplaceFinished);
    helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup, QStringLiteral("j"));
    QVERIFY(finished.wait(10000));
    QCOMPARE(journals.size(), 1);
    QCOMPARE(record.qstrId, QStringLiteral("j"));
    QCOMPARE(record.qstrDestination, QFileInfo(m_qstrDestination).canonicalFilePath());
    QCOMPARE(record.qstrBackup, QFileInfo(m_qstrBackup).canonicalFilePath());
    QCOMPARE(record.listSaved, QStringList{"/a.txt"});
    QCOMPARE(record.listCreated, QStringList{"/b.txt"});
    QVERIFY(QDir(ReplaceJournal::JournalFolder()).isEmpty());
}

void TestReplaceHelper::rollBackRestoresOnlyCompleteEntries()
{
    // The state a killed run leaves: a and b were replaced (saved first), c's entry was being
    // written when the process died, d was new and its temporary file is left over.
    const QString suffix = QStringLiteral(".qorv-1234abcd.tmp");
    WriteTree(m_qstrDestination, {{"/a.txt", "new a"},
                                  {"/sub/b.txt", "new b"},
                                  {"/c.txt", "old c"},
                                  {"/d.txt", "new d"},
                                  {"/e.txt" + suffix, "half"}});
    WriteTree(m_qstrBackup, {{"/a.txt", "old a"}, {"/sub/b.txt", "old b"}, {"/c.txt", "stale c"}});
    QVERIFY(QDir().mkpath(ReplaceJournal::JournalFolder()));
    QFile journal(ReplaceJournal::JournalFolder() + QStringLiteral("/run.journal"));
    QVERIFY(journal.open(QIODevice::WriteOnly));
    QJsonObject header{{"id", "k"}, {"dest", m_qstrDestination}, {"backup", m_qstrBackup}, {"tmp", suffix}};
    journal.write(QJsonDocument(header).toJson(QJsonDocument::Compact) + "\n");
    journal.write(
        "{\"s\":\"/a.txt\"}\n{\"s\":\"/sub/b.txt\"}\n{\"n\":\"/d.txt\"}\n{\"n\":\"/e.txt\"}\n{\"s\":\"/c.t");
    journal.close();
    // An unreadable journal is dropped without touching anything.
    WriteFile(ReplaceJournal::JournalFolder() + QStringLiteral("/broken.journal"), "{\"id\":");

    QCOMPARE(ReplaceHelper::RollBackInterruptedRuns(), 2);
    const Tree expected{
        {"/a.txt", "old a"}, {"/sub/b.txt", "old b"}, {"/c.txt", "old c"}, {"/d.txt", "new d"}};
    QCOMPARE(ReadTree(m_qstrDestination), expected);
    QVERIFY(QDir(ReplaceJournal::JournalFolder()).isEmpty());
    QCOMPARE(ReplaceHelper::RollBackInterruptedRuns(), 0);
}

void TestReplaceHelper::treeShapesAreReplaced_data()
{
    QTest::addColumn<Tree>("source");
    QTest::addColumn<Tree>("destination");
    // A folder of the destination that is a link to another of its folders ("" for none).
    QTest::addColumn<QString>("alias");
    QTest::addColumn<Tree>("expected");
    QTest::addColumn<Tree>("saved");

    // In name order the files of one folder come apart: "/a/b.txt" < "/a/b/c.txt" < "/a/c.txt".
    const Tree interleaved{{"/a/b.txt", "1"},     {"/a/b/c.txt", "2"},   {"/a/c.txt", "3"},
                           {"/a/b/d/e.txt", "4"}, {"/a/b-c/f.txt", "5"}, {"/g.txt", "6"}};
    QTest::newRow("folders interleaved in name order")
        << interleaved << Tree{{"/a/b/c.txt", "old 2"}, {"/a/b-c/f.txt", "old 5"}} << QString() << interleaved
        << Tree{{"/a/b/c.txt", "old 2"}, {"/a/b-c/f.txt", "old 5"}};
    QTest::newRow("linked folder leading inside the destination")
        << Tree{{"/alias/x.txt", "new x"}, {"/alias/y.txt", "new y"}} << Tree{{"/real/x.txt", "old x"}}
        << QStringLiteral("real") << Tree{{"/real/x.txt", "new x"}, {"/real/y.txt", "new y"}}
        << Tree{{"/alias/x.txt", "old x"}};
}

void TestReplaceHelper::treeShapesAreReplaced()
{
    QFETCH(Tree, source);
    QFETCH(Tree, destination);
    QFETCH(QString, alias);
    QFETCH(Tree, expected);
    QFETCH(Tree, saved);
    WriteTree(m_qstrSource, source);
    WriteTree(m_qstrDestination, destination);
    if (!alias.isEmpty())
        QVERIFY(QFile::link(alias, m_qstrDestination + QStringLiteral("/alias")));
    // Permission bits travel with the bytes, whatever the creating process's umask lets through.
    const QString script = m_qstrSource + source.firstKey();
    QVERIFY(QFile(script).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                         QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                         QFileDevice::ExeGroup | QFileDevice::ReadOther));

    ReplaceHelper helper;
    Recorder finished(&helper, &ReplaceHelper::signReplaceFinished);
    Recorder failed(&helper, &ReplaceHelper::signErrorOccurred);
    helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup, QStringLiteral("t"));
    QVERIFY(finished.wait(10000));
    QCOMPARE(failed.count(), 0);
    QCOMPARE(ReadTree(m_qstrDestination), expected);
    QCOMPARE(ReadTree(m_qstrBackup), saved);
    QCOMPARE(FileMode(m_qstrDestination + source.firstKey()), 0754u);
}

void TestReplaceHelper::linksPlantedDuringARunAreNotFollowed_data()
{
    QTest::addColumn<Tree>("destination");
    QTest::addColumn<QString>("planted");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QStringList>("args");

    // Planted once the first file is done, where the second one goes next (or comes from: what
    // was there in the source is moved aside first).
    QTest::newRow("backup folder linked outside")
        << Tree{{"/a.txt", "old a"}, {"/z/x.txt", "old x"}} << "{B}/z"
        << "PATH_OUTSIDE_FOLDER" << QStringList{"{B}/z/x.txt"};
    QTest::newRow("destination folder linked outside") << Tree{{"/a.txt", "old a"}} << "{D}/z"
                                                       << "PATH_OUTSIDE_FOLDER" << QStringList{"{D}/z/x.txt"};
    QTest::newRow("source folder linked outside")
        << Tree{{"/a.txt", "old a"}} << "{S}/z"
        << "COPY_FILE_FAILED" << QStringList{"{S}/z/x.txt", "{D}/z/x.txt"};
}

void TestReplaceHelper::linksPlantedDuringARunAreNotFollowed()
{
    QFETCH(Tree, destination);
    QFETCH(QString, planted);
    QFETCH(QString, detail);
    QFETCH(QStringList, args);
    auto expand = [&](QString _qstrText) {
        return _qstrText.replace(QStringLiteral("{B}"), m_qstrBackup)
            .replace(QStringLiteral("{D}"), m_qstrDestination)
            .replace(QStringLiteral("{S}"), m_qstrSource);
    };
    for (QString& arg : args)
        arg = expand(arg);
    const QString outside = m_pDir->path() + QStringLiteral("/outside");
    WriteTree(outside, {{"/x.txt", "outside x"}});
    WriteTree(m_qstrSource, {{"/a.txt", "new a"}, {"/z/x.txt", "new x"}});
    WriteTree(m_qstrDestination, destination);

    ReplaceHelper helper;
    std::atomic<bool> placed{false};
    connect(
        &helper, &ReplaceHelper::signReplaceProgress, &helper,
        [&](qint64 _nDone, qint64, QString) {
            if (_nDone == 0 || placed.exchange(true))
                return;
            const QString path = expand(planted);
            if (QFileInfo::exists(path))
                QDir().rename(path, path + QStringLiteral("-aside"));
            if (!QFile::link(path.endsWith(".txt") ? outside + QStringLiteral("/x.txt") : outside, path))
                qWarning() << "cannot plant" << planted;
        },
        Qt::DirectConnection);
    Recorder failed(&helper, &ReplaceHelper::signErrorOccurred);
    helper.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup, QStringLiteral("p"));
    QVERIFY(failed.wait(10000));
    QVERIFY(placed);
    QCOMPARE(failed.first().at(0).toString(), Text(detail.toLatin1().constData(), args));
    QCOMPARE(ReadTree(outside), (Tree{{"/x.txt", "outside x"}}));
    QCOMPARE(ReadFile(m_qstrDestination + QStringLiteral("/a.txt")), QByteArray("old a"));
}

void TestReplaceHelper::foldersDirectlyInStickyTmpAreUsed()
{
    // Made by the run itself right in the shared /tmp, which others may write but not rename in.
    const QString name = QStringLiteral("/tmp/qorv-tst-replace-%1").arg(QCoreApplication::applicationPid());
    WriteTree(m_qstrSource, {{"/a.txt", "new a"}, {"/sub/b.txt", "new b"}});
    ReplaceHelper helper;
    Recorder finished(&helper, &ReplaceHelper::signReplaceFinished);
    Recorder failed(&helper, &ReplaceHelper::signErrorOccurred);
    helper.startReplace(m_qstrSource, name + QStringLiteral("-dest"), QString(), true,
                        name + QStringLiteral("-bak"), QStringLiteral("t"));
    const bool ended = finished.wait(10000);
    const Tree written = ReadTree(name + QStringLiteral("-dest"));
    QDir(name + QStringLiteral("-dest")).removeRecursively();
    QDir(name + QStringLiteral("-bak")).removeRecursively();
    QVERIFY(ended);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(written, (Tree{{"/a.txt", "new a"}, {"/sub/b.txt", "new b"}}));
}

QTEST_GUILESS_MAIN(TestReplaceHelper)
#include "tst_ReplaceHelper.moc"
