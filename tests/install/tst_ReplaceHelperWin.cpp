// The replace on Windows: a tree copied over another through folder handles, the files it
// overwrites saved as second names first, a read-only file replaced as any other, and the saved
// files put back by path afterwards.
#include "install/ReplaceHelper.h"
#include "install/ReplaceJournal.h"
#include "tests/support/TestFiles.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_ReplaceHelperWin : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void replacesAndPutsBack();

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_dirState;
};

void tst_ReplaceHelperWin::initTestCase()
{
    qRegisterMetaType<qint64>("qint64");
    QVERIFY(m_dir.isValid() && m_dirState.isValid());
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dirState.path()));
}

void tst_ReplaceHelperWin::replacesAndPutsBack()
{
    const QString source = m_dir.path() + "/src";
    const QString destination = m_dir.path() + "/dest";
    const QString backup = m_dir.path() + "/bak";
    WriteTree(source,
              {{"/a.txt", "new a"}, {"/sub/b.bin", QByteArray(300000, 'B')}, {"/sub/deep/c.txt", "new c"}});
    const Tree old{{"/a.txt", "old a"}, {"/sub/b.bin", "old b"}, {"/keep.txt", "untouched"}};
    WriteTree(destination, old);
    QVERIFY(QFile(destination + "/sub/b.bin").setPermissions(QFileDevice::ReadOwner));

    ReplaceHelper helper;
    bool done = false;
    QString failure;
    connect(
        &helper, &ReplaceHelper::signReplaceFinished, this, [&] { done = true; }, Qt::QueuedConnection);
    connect(
        &helper, &ReplaceHelper::signErrorOccurred, this,
        [&](const QString& _qstrError) {
            failure = _qstrError;
            done = true;
        },
        Qt::QueuedConnection);
    helper.startReplace(source, destination, QString(), true, backup, "w1");
    QTRY_VERIFY_WITH_TIMEOUT(done, 60000);
    QCOMPARE(failure, QString());
    QCOMPARE(ReadFile(destination + "/a.txt"), QByteArray("new a"));
    QCOMPARE(ReadFile(destination + "/sub/b.bin"), QByteArray(300000, 'B'));
    QCOMPARE(ReadFile(destination + "/sub/deep/c.txt"), QByteArray("new c"));
    QCOMPARE(ReadFile(destination + "/keep.txt"), QByteArray("untouched"));
    QCOMPARE(ReadFile(backup + "/a.txt"), QByteArray("old a"));
    QCOMPARE(ReadFile(backup + "/sub/b.bin"), QByteArray("old b"));
    QVERIFY(!QFileInfo::exists(backup + "/keep.txt"));
    QVERIFY(QDir(ReplaceJournal::JournalFolder()).isEmpty());

    const ReplaceHelper::RestoreResult restored = ReplaceHelper::RestoreSaved(
        destination, backup, {"/a.txt", "/sub/b.bin"}, {"/sub/deep/c.txt"}, ".w1");
    QCOMPARE(restored.nRestored, 2);
    QCOMPARE(restored.nFailed, 0);
    QCOMPARE(ReadFile(destination + "/a.txt"), QByteArray("old a"));
    QCOMPARE(ReadFile(destination + "/sub/b.bin"), QByteArray("old b"));
}

QTEST_GUILESS_MAIN(tst_ReplaceHelperWin)
#include "tst_ReplaceHelperWin.moc"
