#include "install/CommonFunction.h"
#include "core/ClientPath.h"
#include "install/FolderCursor.h"
#include "tests/support/TestFiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class tst_CommonFunction : public QObject
{
    Q_OBJECT
private slots:
    void scanFolderIgnoresFragments();
    void scanFolderKeepsExistingEntries();
    void fileMd5_data();
    void fileMd5();
    void copyFolder();
    void copyFolderMissingSource();
    void deleteFolder_data();
    void deleteFolder();
    void deleteFolderLeavesLinkTargets();
    void removeFile();
    void asyncVariants();
    void findFile_data();
    void findFile();
    void findFileSurvivesLinkLoop();
    void uuidForm();
    void locations();
    void screenScale();
};

namespace {
// Scans the tree at _qstrRoot as the replace does, from the folder opened and checked.
quint32 Scan(const QString& _qstrRoot, const QString& _qstrIgnore, CommonFunction::FileList& _list,
             QStringList& _unread)
{
    FolderCursor cursor(ClientPath::OpenFolder(_qstrRoot, false));
    return CommonFunction::ScanFolder(cursor, _qstrIgnore, _list, _unread);
}
} // namespace

void tst_CommonFunction::scanFolderIgnoresFragments()
{
    QTemporaryDir tmp;
    const QString root = tmp.filePath("src");
    WriteFile(root + "/LOG/a.txt", "12345");
    WriteFile(root + "/x/tmpfile", "123");
    WriteFile(root + "/x/keep.bin", "1234567");
    WriteFile(root + "/.hidden", "12");
    WriteFile(root + "/top.txt", "1");
    // A link to a file counts as that file; a link to a folder is never entered, and named
    // apart unless ignored.
    QVERIFY(QFile::link(root + "/x/keep.bin", root + "/x/alias.bin"));
    QVERIFY(QFile::link(root + "/x", root + "/LOG/x"));
    QVERIFY(QFile::link(root + "/x", root + "/x-again"));
    QVERIFY(::mkfifo(QFile::encodeName(root + "/pipe").constData(), 0600) == 0);
    CommonFunction::FileList list;
    QStringList unread;
    const quint32 total = Scan(root, ";log;;tmp;", list, unread);
    const CommonFunction::FileList expected{
        {"/x", 0}, {"/x/keep.bin", 7}, {"/x/alias.bin", 7}, {"/.hidden", 2}, {"/top.txt", 1}};
    QCOMPARE(list, expected);
    QCOMPARE(total, quint32(17));
    QCOMPARE(unread, QStringList{"/x-again"});
    QCOMPARE(Scan(tmp.filePath("missing"), QString(), list, unread), quint32(0));
    QCOMPARE(unread, QStringList{"/x-again"});
}

void tst_CommonFunction::scanFolderKeepsExistingEntries()
{
    QTemporaryDir tmp;
    WriteFile(tmp.filePath("a.txt"), "abc");
    CommonFunction::FileList list{{"/a.txt", 99}};
    QStringList unread;
    // The size is still counted; the entry already listed is not replaced.
    QCOMPARE(Scan(tmp.path(), QString(), list, unread), quint32(3));
    QCOMPARE(list.value("/a.txt"), quint32(99));
}

void tst_CommonFunction::fileMd5_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("md5");
    QTest::newRow("empty") << QByteArray() << "D41D8CD98F00B204E9800998ECF8427E";
    QTest::newRow("abc") << QByteArray("abc") << "900150983CD24FB0D6963F7D28E17F72";
    // Spans several read chunks and ends in a partial one.
    QByteArray big(3 * int(CommonFunction::kMd5ChunkBytes) + 7, 'q');
    big[5] = 'x';
    big[big.size() - 1] = 'z';
    QTest::newRow("several chunks")
        << big
        << QString::fromLatin1(QCryptographicHash::hash(big, QCryptographicHash::Md5).toHex().toUpper());
}

void tst_CommonFunction::fileMd5()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, md5);
    QTemporaryDir tmp;
    WriteFile(tmp.filePath("f"), content);
    QCOMPARE(CommonFunction::GetFileMd5(tmp.filePath("f")), md5);
    QCOMPARE(CommonFunction::GetFileMd5(tmp.filePath("missing")), QString());
    // A folder opens but cannot be read.
    QCOMPARE(CommonFunction::GetFileMd5(tmp.path()), QString());
}

void tst_CommonFunction::copyFolder()
{
    QTemporaryDir tmp;
    const QString src = tmp.filePath("src");
    const QString dst = tmp.filePath("dst/new");
    WriteFile(src + "/a.txt", "new a");
    WriteFile(src + "/sub/deeper/b.txt", "new b");
    WriteFile(dst + "/a.txt", "old a that is longer");
    WriteFile(dst + "/only-in-dst.txt", "stays");
    QVERIFY(QFile::setPermissions(dst + "/a.txt", QFileDevice::ReadOwner));
    QVERIFY(CommonFunction::CopyFolder(src, dst));
    QCOMPARE(ReadFile(dst + "/a.txt"), QByteArray("new a"));
    QCOMPARE(ReadFile(dst + "/sub/deeper/b.txt"), QByteArray("new b"));
    QCOMPARE(ReadFile(dst + "/only-in-dst.txt"), QByteArray("stays"));
}

void tst_CommonFunction::copyFolderMissingSource()
{
    QTemporaryDir tmp;
    QVERIFY(!CommonFunction::CopyFolder(tmp.filePath("missing"), tmp.filePath("dst")));
    QVERIFY(QFileInfo(tmp.filePath("dst")).isDir());
}

void tst_CommonFunction::deleteFolder_data()
{
    QTest::addColumn<QString>("folder"); // relative to a fresh temporary folder, "<empty>" for ""
    QTest::addColumn<bool>("result");
    QTest::addColumn<bool>("gone");
    QTest::newRow("existing") << "victim" << true << true;
    QTest::newRow("missing") << "never-made" << true << true;
    QTest::newRow("empty path") << "<empty>" << false << false;
    QTest::newRow("root") << "/" << false << false;
}

void tst_CommonFunction::deleteFolder()
{
    QFETCH(QString, folder);
    QFETCH(bool, result);
    QFETCH(bool, gone);
    QTemporaryDir tmp;
    WriteFile(tmp.filePath("victim/sub/f.txt"), "x");
    WriteFile(tmp.filePath("bystander.txt"), "y");
    // An empty path would be the working folder: make that the temporary folder to see it survive.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(tmp.path()));
    const QString path = folder == "<empty>"      ? QString()
                         : folder.startsWith('/') ? folder
                                                  : tmp.filePath(folder);
    const bool ok = CommonFunction::DeleteFolder(path);
    QDir::setCurrent(previous);
    QCOMPARE(ok, result);
    if (!path.isEmpty() && path != "/")
        QCOMPARE(QFileInfo::exists(path), !gone);
    QCOMPARE(ReadFile(tmp.filePath("bystander.txt")), QByteArray("y"));
    if (folder != "victim")
        QCOMPARE(ReadFile(tmp.filePath("victim/sub/f.txt")), QByteArray("x"));
}

void tst_CommonFunction::deleteFolderLeavesLinkTargets()
{
    QTemporaryDir tmp;
    WriteFile(tmp.filePath("outside/precious.txt"), "keep");
    WriteFile(tmp.filePath("work/f.txt"), "x");
    QVERIFY(QFile::link(tmp.filePath("outside"), tmp.filePath("work/link")));
    QVERIFY(CommonFunction::DeleteFolder(tmp.filePath("work")));
    QVERIFY(!QFileInfo::exists(tmp.filePath("work")));
    QCOMPARE(ReadFile(tmp.filePath("outside/precious.txt")), QByteArray("keep"));
}

void tst_CommonFunction::removeFile()
{
    QTemporaryDir tmp;
    WriteFile(tmp.filePath("f"), "x");
    QVERIFY(CommonFunction::RemoveFile(tmp.filePath("f")));
    QVERIFY(!QFileInfo::exists(tmp.filePath("f")));
    QVERIFY(CommonFunction::RemoveFile(tmp.filePath("f")));
    QVERIFY(QFile::link(tmp.filePath("nowhere"), tmp.filePath("dangling")));
    QVERIFY(CommonFunction::RemoveFile(tmp.filePath("dangling")));
    QVERIFY(!QFileInfo(tmp.filePath("dangling")).isSymLink());
    QVERIFY(QDir().mkpath(tmp.filePath("folder")));
    QVERIFY(!CommonFunction::RemoveFile(tmp.filePath("folder")));
}

void tst_CommonFunction::asyncVariants()
{
    QTemporaryDir tmp;
    WriteFile(tmp.filePath("dir/sub/f"), "x");
    WriteFile(tmp.filePath("file"), "x");
    CommonFunction::DeleteFolderAsync(tmp.filePath("dir"));
    CommonFunction::RemoveFileAsync(tmp.filePath("file"));
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(tmp.filePath("dir")), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(tmp.filePath("file")), 30000);
    QThreadPool::globalInstance()->waitForDone(30000);
}

void tst_CommonFunction::findFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("found"); // relative to the searched folder; empty: nothing
    QTest::newRow("direct match beats subfolder") << "target.bat"
                                                  << "target.bat";
    QTest::newRow("case ignored") << "TARGET.BAT"
                                  << "target.bat";
    QTest::newRow("first subfolder by name, depth first") << "deep.txt"
                                                          << "a/z/deep.txt";
    QTest::newRow("subfolder order ignores case") << "mixed.txt"
                                                  << "a2/mixed.txt";
    QTest::newRow("absent") << "none.txt"
                            << "";
    QTest::newRow("hidden files are not listed") << ".secret"
                                                 << "";
}

void tst_CommonFunction::findFile()
{
    QFETCH(QString, name);
    QFETCH(QString, found);
    QTemporaryDir tmp;
    const QString root = tmp.filePath("root");
    WriteFile(root + "/a/target.bat", "sub");
    WriteFile(root + "/target.bat", "top");
    WriteFile(root + "/a/z/deep.txt", "1");
    WriteFile(root + "/b/deep.txt", "2");
    WriteFile(root + "/B/mixed.txt", "3");
    WriteFile(root + "/a2/mixed.txt", "4");
    WriteFile(root + "/.secret", "5");
    const QString expected = found.isEmpty() ? QString() : QFileInfo(root + "/" + found).absoluteFilePath();
    QCOMPARE(CommonFunction::FindFile(name, root), expected);
    QCOMPARE(CommonFunction::FindFile(name, tmp.filePath("missing")), QString());
    QCOMPARE(CommonFunction::FindFile(name, QString()), QString());
}

void tst_CommonFunction::findFileSurvivesLinkLoop()
{
    QTemporaryDir tmp;
    WriteFile(tmp.filePath("root/z/last.txt"), "x");
    QVERIFY(QFile::link(tmp.filePath("root"), tmp.filePath("root/a-loop")));
    QCOMPARE(CommonFunction::FindFile("last.txt", tmp.filePath("root")), tmp.filePath("root/z/last.txt"));
    QCOMPARE(CommonFunction::FindFile("none", tmp.filePath("root")), QString());
    CommonFunction::FileList list;
    QStringList unread;
    Scan(tmp.filePath("root"), QString(), list, unread);
    QVERIFY(list.contains("/z/last.txt"));
    QCOMPARE(unread, QStringList{"/a-loop"});
}

void tst_CommonFunction::uuidForm()
{
    const QRegularExpression form("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$");
    const QString a = CommonFunction::CreateUuid();
    QVERIFY2(form.match(a).hasMatch(), qPrintable(a));
    QVERIFY(a != CommonFunction::CreateUuid());
}

void tst_CommonFunction::locations()
{
    // Work folders live in the user's cache, never under a fixed name in the shared /tmp.
    const QString work = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                         "/qorv-utility-service/work/app-1";
    QCOMPARE(CommonFunction::GetWorkFolder("app-1"), work);
    QCOMPARE(CommonFunction::GetDownloadFolder("app-1"), work + "/download");
    QCOMPARE(CommonFunction::GetUnzipFolder("app-1"), work + "/unzip");
    QCOMPARE(CommonFunction::GetBackupFolder("app-1"), work + "/backup");
    QCOMPARE(CommonFunction::GetExeFolder(), QCoreApplication::applicationDirPath());
    QCOMPARE(CommonFunction::GetDefaultInstallPath("app-1"),
             QCoreApplication::applicationDirPath() + "/../appfolder/app-1/");
}

void tst_CommonFunction::screenScale()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    QVERIFY(screen);
    QCOMPARE(CommonFunction::GetScreenScale(), screen->size().height() / 1080.0);
}

QTEST_MAIN(tst_CommonFunction)
#include "tst_CommonFunction.moc"
