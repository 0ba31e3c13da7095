// The update's unzip and backup folders: another user's empty folder is never used, a file slipped
// into a folder after its check is seen before extraction, and the clean-up of a folder the
// service made never reaches through a link swapped in for it.
#include "update/WorkFolder.h"

#include "core/WorkerPool.h"
#include "tests/support/TestFiles.h"

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

QTEST_GUILESS_MAIN(tst_WorkFolder)
#include "tst_WorkFolder.moc"
