// Deleting by descriptor: a whole tree goes, links inside it go without their targets, and a
// folder that is no longer the one recorded is left alone.
#include "core/FolderTree.h"
#include "tests/support/TestFiles.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_FolderTree : public QObject
{
    Q_OBJECT
private slots:
    void removesTheTreeButNotWhatLinksInsideNameElsewhere();
    void leavesAFolderMadeAnewAlone();

private:
    QTemporaryDir m_dir;
};

void tst_FolderTree::removesTheTreeButNotWhatLinksInsideNameElsewhere()
{
    const QString tree = m_dir.path() + "/tree";
    const QString precious = m_dir.path() + "/precious";
    WriteFile(tree + "/a/b/c/file", "x");
    WriteFile(tree + "/.hidden", "x");
    WriteFile(precious + "/keep", "keep");
    QVERIFY(QFile::link(precious, tree + "/a/link-to-folder"));
    QVERIFY(QFile::link(precious + "/keep", tree + "/link-to-file"));
    const QString identity = FolderTree::Identity(tree);
    QVERIFY(!identity.isEmpty());
    QVERIFY(!FolderTree::IsEmpty(tree, identity));

    const QString aside = FolderTree::MoveAside(tree, identity);
    QVERIFY(!aside.isEmpty() && !QFileInfo::exists(tree));
    QCOMPARE(FolderTree::Identity(aside), identity);
    QVERIFY(FolderTree::Remove(aside, identity));
    QVERIFY(!QFileInfo::exists(aside));
    QCOMPARE(ReadFile(precious + "/keep"), QByteArray("keep"));
}

void tst_FolderTree::leavesAFolderMadeAnewAlone()
{
    const QString folder = m_dir.path() + "/again";
    QVERIFY(QDir().mkpath(folder));
    const QString old = FolderTree::Identity(folder);
    QVERIFY(QDir(folder).removeRecursively());
    WriteFile(folder + "/someone-elses", "x");
    QVERIFY(FolderTree::Identity(folder) != old);
    QVERIFY(!FolderTree::Remove(folder, old));
    QVERIFY(!FolderTree::Empty(folder, old));
    QVERIFY(FolderTree::MoveAside(folder, old).isEmpty());
    QCOMPARE(ReadFile(folder + "/someone-elses"), QByteArray("x"));
}

QTEST_GUILESS_MAIN(tst_FolderTree)
#include "tst_FolderTree.moc"
