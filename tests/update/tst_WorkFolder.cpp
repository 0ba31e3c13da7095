// The update's unzip and backup folders: another user's empty folder is never used, a file slipped
// into a folder after its check is seen before extraction, the clean-up of a folder the service
// made never reaches through a link swapped in for it, and what each kind of folder lets a run
// empty and remove.
#include "update/WorkFolder.h"

#include "core/WorkerPool.h"
#include "tests/support/TestFiles.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

class tst_WorkFolder : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void anotherUsersEmptyFolderIsNotUsed();
    void aFileSlippedInAfterTheCheckIsSeen();
    void cleanUpNeverFollowsALinkSwappedIn();
    void kindDecidesWhatARunTouches_data();
    void kindDecidesWhatARunTouches();

private:
    QTemporaryDir m_dir;
};

void tst_WorkFolder::initTestCase()
{
    // The record of folders the service made lives in the state folder.
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.path() + "/state"));
}

void tst_WorkFolder::anotherUsersEmptyFolderIsNotUsed()
{
    if (::geteuid() != 0)
        QSKIP("giving a folder to another user needs root");
    const QString planted = m_dir.path() + "/planted";
    QVERIFY(QDir().mkpath(planted));
    QVERIFY(::chown(QFile::encodeName(planted).constData(), 65534, 65534) == 0);
    WorkFolder folder(planted);
    QCOMPARE(folder.GetKind(), WorkFolder::Kind::Foreign);
    QVERIFY(!folder.Prepare());
}

void tst_WorkFolder::aFileSlippedInAfterTheCheckIsSeen()
{
    const QString path = m_dir.path() + "/users-empty";
    QVERIFY(QDir().mkpath(path));
    WorkFolder folder(path);
    QCOMPARE(folder.GetKind(), WorkFolder::Kind::Empty);
    WriteFile(path + "/preUninstall.sh", "evil");
    QVERIFY(!folder.Prepare());
    QVERIFY(!folder.IsStillEmpty());
}

void tst_WorkFolder::cleanUpNeverFollowsALinkSwappedIn()
{
    const QString path = m_dir.path() + "/made/unzip";
    const QString precious = m_dir.path() + "/precious";
    WriteFile(precious + "/a", "a");
    WriteFile(precious + "/sub/b", "b");
    WorkFolder earlier(path);
    QCOMPARE(earlier.GetKind(), WorkFolder::Kind::Missing);
    QVERIFY(earlier.Prepare());
    // The next run finds it as the service's own, empties it, extracts into it.
    WorkFolder folder(path);
    QCOMPARE(folder.GetKind(), WorkFolder::Kind::Owned);
    QVERIFY(folder.Prepare());
    WriteFile(path + "/extracted", "x");
    QVERIFY(QDir().rename(path, m_dir.path() + "/made/moved"));
    QVERIFY(QFile::link(precious, path));
    folder.CleanUp();
    // Without the swap the folder goes whole.
    WorkFolder again(m_dir.path() + "/made/second");
    QVERIFY(again.Prepare());
    WriteFile(again.Path() + "/x/y", "y");
    again.CleanUp();
    // Runs what the clean-ups left on the pool, then joins it.
    WorkerPool::Service().Stop();
    QCOMPARE(ReadFile(precious + "/a"), QByteArray("a"));
    QCOMPARE(ReadFile(precious + "/sub/b"), QByteArray("b"));
    QCOMPARE(QDir(m_dir.path() + "/made").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({"moved", "unzip"}));
}

void tst_WorkFolder::kindDecidesWhatARunTouches_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("prepared");
    // What is left below the row's folder once the run wrote into "w" and cleaned up.
    QTest::addColumn<QStringList>("left");
    using K = WorkFolder::Kind;
    QTest::newRow("missing: made, then removed") << "" << int(K::Missing) << true << QStringList();
    QTest::newRow("made by an earlier run: emptied, then removed")
        << "earlier" << int(K::Owned) << true << QStringList();
    QTest::newRow("the user's empty folder: emptied again, kept")
        << "mkdir" << int(K::Empty) << true << QStringList{"w"};
    QTest::newRow("the user's folder with a file: untouched")
        << "mkdir mine" << int(K::Foreign) << false << QStringList{"w", "w/mine"};
    QTest::newRow("a link to a folder: untouched")
        << "link" << int(K::NotFolder) << false << QStringList{"t", "t/mine", "w"};
    QTest::newRow("an empty folder swapped for another after the check: untouched")
        << "mkdir swap" << int(K::Empty) << false << QStringList{"old", "w", "w/mine"};
    QTest::newRow("missing, in a folder open to all: not made")
        << "open" << int(K::Missing) << false << QStringList();
}

void tst_WorkFolder::kindDecidesWhatARunTouches()
{
    QFETCH(QString, setup);
    QFETCH(int, kind);
    QFETCH(bool, prepared);
    QFETCH(QStringList, left);
    // With the pool stopped, clean-ups run at once; what they may touch is decided all the same.
    WorkerPool::Service().Stop();
    const QString root = m_dir.path() + "/kinds/" + QTest::currentDataTag();
    const QString path = root + "/w";
    QVERIFY(QDir().mkpath(root));
    if (setup == "open")
        QVERIFY(::chmod(QFile::encodeName(root).constData(), 0777) == 0);
    if (setup.startsWith("mkdir"))
        QVERIFY(QDir().mkpath(path));
    if (setup.contains("mine"))
        WriteFile(path + "/mine", "mine");
    if (setup == "earlier") {
        QVERIFY(WorkFolder(path).Prepare());
        WriteFile(path + "/leftover", "from the run before");
    } else if (setup == "link") {
        WriteFile(root + "/t/mine", "mine");
        QVERIFY(QFile::link(root + "/t", path));
    }
    WorkFolder folder(path);
    QCOMPARE(int(folder.GetKind()), kind);
    if (setup.endsWith("swap")) {
        QVERIFY(QDir().rename(path, root + "/old"));
        WriteFile(path + "/mine", "mine");
    }
    QCOMPARE(folder.Prepare(), prepared);
    if (prepared) {
        QVERIFY(QDir(path).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
        WriteFile(path + "/extracted", "x");
    }
    folder.CleanUp();
    QStringList found;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next().mid(root.size() + 1);
    found.sort();
    QCOMPARE(found, left);
}

QTEST_GUILESS_MAIN(tst_WorkFolder)
#include "tst_WorkFolder.moc"
