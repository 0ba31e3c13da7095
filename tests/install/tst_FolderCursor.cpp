// A cursor over a checked tree: it never walks or writes through a link, refuses a root that
// others may change, copies whole files with their permission bits, and stops a copy when asked.
#include "install/FolderCursor.h"
#include "core/ClientPath.h"
#include "tests/support/FileMode.h"
#include "tests/support/TestFiles.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

class tst_FolderCursor : public QObject
{
    Q_OBJECT
private slots:
    void enter_data();
    void enter();
    void rootOthersMayChangeIsRefused_data();
    void rootOthersMayChangeIsRefused();
    void createFileNeverOpensWhatIsThere();
    void copyInKeepsBytesAndMode();
    void copyInReplacesALeftoverLink();
    void copyInOfALinkOutOfReach();
    void stopFlagEndsACopy();
};

namespace {

QString Root(const QTemporaryDir& _dir)
{
    return _dir.filePath("tree");
}

// tree/a/b/f.txt, tree/file.txt, tree/linked -> tree/a, tree/outside -> a folder outside.
void MakeTree(const QTemporaryDir& _dir)
{
    WriteFile(Root(_dir) + "/a/b/f.txt", "f");
    WriteFile(Root(_dir) + "/file.txt", "file");
    QVERIFY(QDir().mkpath(_dir.filePath("elsewhere")));
    QVERIFY(QFile::link(Root(_dir) + "/a", Root(_dir) + "/linked"));
    QVERIFY(QFile::link(_dir.filePath("elsewhere"), Root(_dir) + "/outside"));
}

} // namespace

void tst_FolderCursor::enter_data()
{
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<bool>("create");
    QTest::addColumn<int>("move");
    QTest::addColumn<bool>("made");

    QTest::newRow("the root") << QByteArray() << false << int(FolderCursor::Move::Done) << false;
    QTest::newRow("two levels down") << QByteArray("/a/b") << false << int(FolderCursor::Move::Done) << false;
    QTest::newRow("missing, made") << QByteArray("/a/new/deeper") << true << int(FolderCursor::Move::Done)
                                   << true;
    QTest::newRow("missing, not made")
        << QByteArray("/a/new") << false << int(FolderCursor::Move::Failed) << false;
    QTest::newRow("a link inside the tree")
        << QByteArray("/linked/b") << true << int(FolderCursor::Move::Linked) << false;
    QTest::newRow("a link out of the tree")
        << QByteArray("/outside/x") << true << int(FolderCursor::Move::Linked) << false;
    QTest::newRow("a file on the way")
        << QByteArray("/file.txt/x") << true << int(FolderCursor::Move::NotFolder) << false;
}

void tst_FolderCursor::enter()
{
    QFETCH(QByteArray, folder);
    QFETCH(bool, create);
    QFETCH(int, move);
    QFETCH(bool, made);
    QTemporaryDir dir;
    MakeTree(dir);
    FolderCursor cursor(ClientPath::OpenFolder(Root(dir), false));
    QCOMPARE(int(cursor.Enter(folder, create)), move);
    QCOMPARE(QFileInfo(Root(dir) + QString::fromUtf8(folder)).isDir() && made, made);
    // Nothing was made through a link.
    QVERIFY(QDir(dir.filePath("elsewhere")).isEmpty());
    QVERIFY(!QFileInfo::exists(Root(dir) + "/a/b/x"));
}

void tst_FolderCursor::rootOthersMayChangeIsRefused_data()
{
    QTest::addColumn<uint>("mode");
    QTest::addColumn<bool>("usable");
    QTest::newRow("private") << 0700u << true;
    QTest::newRow("others may read") << 0755u << true;
    QTest::newRow("group may write") << 0770u << false;
    QTest::newRow("anyone may write") << 0777u << false;
}

void tst_FolderCursor::rootOthersMayChangeIsRefused()
{
    QFETCH(uint, mode);
    QFETCH(bool, usable);
    QTemporaryDir dir;
    MakeTree(dir);
    QCOMPARE(::chmod(QFile::encodeName(Root(dir)).constData(), mode), 0);
    FolderCursor cursor(ClientPath::OpenFolder(Root(dir), false));
    QCOMPARE(cursor.Enter("/a", false) == FolderCursor::Move::Done, usable);
    QCOMPARE(cursor.KindOf("b") == FolderCursor::Kind::Folder, usable);
}

void tst_FolderCursor::createFileNeverOpensWhatIsThere()
{
    QTemporaryDir dir;
    MakeTree(dir);
    WriteFile(dir.filePath("victim"), "keep");
    QVERIFY(QFile::link(dir.filePath("victim"), Root(dir) + "/trap"));
    FolderCursor cursor(ClientPath::OpenFolder(Root(dir), false));
    QCOMPARE(cursor.Enter("", false), FolderCursor::Move::Done);
    QCOMPARE(cursor.KindOf("trap"), FolderCursor::Kind::Link);
    QFile file;
    QVERIFY(!cursor.CreateFile("trap", file));
    QVERIFY(!cursor.CreateFile("file.txt", file));
    QCOMPARE(ReadFile(dir.filePath("victim")), QByteArray("keep"));
    QCOMPARE(ReadFile(Root(dir) + "/file.txt"), QByteArray("file"));
    QVERIFY(cursor.CreateFile("new.txt", file));
    QCOMPARE(file.write("new"), 3LL);
    file.close();
    QCOMPARE(ReadFile(Root(dir) + "/new.txt"), QByteArray("new"));
}

void tst_FolderCursor::copyInKeepsBytesAndMode()
{
    QTemporaryDir dir;
    MakeTree(dir);
    const QByteArray bytes(3 * 1024 * 1024 + 7, 'x');
    WriteFile(Root(dir) + "/a/big.bin", bytes);
    QCOMPARE(::chmod(QFile::encodeName(Root(dir) + "/a/big.bin").constData(), 0640), 0);
    FolderCursor from(ClientPath::OpenFolder(Root(dir), false));
    FolderCursor to(ClientPath::OpenFolder(dir.filePath("copy"), true));
    QCOMPARE(from.Enter("/a", false), FolderCursor::Move::Done);
    QCOMPARE(to.Enter("/x", true), FolderCursor::Move::Done);
    const Result<> copied = to.CopyIn(from, "big.bin", "big.tmp", nullptr);
    QVERIFY2(copied, qPrintable(copied.Error()));
    QCOMPARE(ReadFile(dir.filePath("copy/x/big.tmp")), bytes);
    QCOMPARE(FileMode(dir.filePath("copy/x/big.tmp")), 0640u);
    // A folder is no file to copy.
    QCOMPARE(from.Enter("", false), FolderCursor::Move::Done);
    const Result<> folder = to.CopyIn(from, "a", "a.tmp", nullptr);
    QVERIFY(!folder);
    QVERIFY(!QFileInfo::exists(dir.filePath("copy/x/a.tmp")));
}

void tst_FolderCursor::copyInReplacesALeftoverLink()
{
    QTemporaryDir dir;
    MakeTree(dir);
    WriteFile(dir.filePath("victim"), "keep");
    FolderCursor from(ClientPath::OpenFolder(Root(dir), false));
    FolderCursor to(ClientPath::OpenFolder(dir.filePath("copy"), true));
    QVERIFY(QFile::link(dir.filePath("victim"), dir.filePath("copy/file.tmp")));
    QCOMPARE(from.Enter("", false), FolderCursor::Move::Done);
    QCOMPARE(to.Enter("", false), FolderCursor::Move::Done);
    QVERIFY(to.CopyIn(from, "file.txt", "file.tmp", nullptr));
    QCOMPARE(ReadFile(dir.filePath("victim")), QByteArray("keep"));
    QCOMPARE(to.KindOf("file.tmp"), FolderCursor::Kind::File);
    QCOMPARE(ReadFile(dir.filePath("copy/file.tmp")), QByteArray("file"));
}

void tst_FolderCursor::copyInOfALinkOutOfReach()
{
    QTemporaryDir dir;
    MakeTree(dir);
    // A folder another user could change: a link through it is not followed.
    WriteFile(dir.filePath("open/secret"), "secret");
    QCOMPARE(::chmod(QFile::encodeName(dir.filePath("open")).constData(), 0777), 0);
    QVERIFY(QFile::link(dir.filePath("open/secret"), Root(dir) + "/via-open"));
    QVERIFY(QFile::link(Root(dir) + "/a/b/f.txt", Root(dir) + "/via-tree"));
    FolderCursor from(ClientPath::OpenFolder(Root(dir), false));
    FolderCursor to(ClientPath::OpenFolder(dir.filePath("copy"), true));
    QCOMPARE(from.Enter("", false), FolderCursor::Move::Done);
    QCOMPARE(to.Enter("", false), FolderCursor::Move::Done);
    QVERIFY(!to.CopyIn(from, "via-open", "open.tmp", nullptr));
    QVERIFY(!QFileInfo::exists(dir.filePath("copy/open.tmp")));
    const Result<> linked = to.CopyIn(from, "via-tree", "tree.tmp", nullptr);
    QVERIFY2(linked, qPrintable(linked.Error()));
    QCOMPARE(ReadFile(dir.filePath("copy/tree.tmp")), QByteArray("f"));
}

void tst_FolderCursor::stopFlagEndsACopy()
{
    QTemporaryDir dir;
    MakeTree(dir);
    FolderCursor from(ClientPath::OpenFolder(Root(dir), false));
    FolderCursor to(ClientPath::OpenFolder(dir.filePath("copy"), true));
    QCOMPARE(from.Enter("", false), FolderCursor::Move::Done);
    QCOMPARE(to.Enter("", false), FolderCursor::Move::Done);
    const std::atomic<bool> stop{true};
    const Result<> copied = to.CopyIn(from, "file.txt", "file.tmp", &stop);
    QVERIFY(!copied);
    QCOMPARE(copied.Error(), QStringLiteral("stopped"));

    // The same between two open files, and nothing written.
    const int in = ::open(QFile::encodeName(Root(dir) + "/file.txt").constData(), O_RDONLY);
    const int out = ::open(QFile::encodeName(dir.filePath("out")).constData(), O_WRONLY | O_CREAT, 0600);
    QVERIFY(in >= 0 && out >= 0);
    const Result<> bytes = FolderCursor::CopyBytes(in, out, &stop);
    ::close(in);
    ::close(out);
    QCOMPARE(bytes.Error(), QStringLiteral("stopped"));
    QCOMPARE(QFileInfo(dir.filePath("out")).size(), 0LL);
}

QTEST_GUILESS_MAIN(tst_FolderCursor)
#include "tst_FolderCursor.moc"
