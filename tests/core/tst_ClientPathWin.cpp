// Client paths on Windows, as far as one account can show them: the walk makes and checks folders
// by handle, refuses what is in the way, and files are created and committed below the folder's
// handle, so a folder renamed after the check still gets the new file. Owners, access lists and
// reparse points of other users are decided by HandleTrust (tst_HandleTrust).
#include "core/ClientPath.h"
#include "core/HandleTrust.h"
#include "core/WinFile.h"
#include "tests/support/TestFiles.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_ClientPathWin : public QObject
{
    Q_OBJECT
private slots:
    void walkRefusesWhatIsInTheWay_data();
    void walkRefusesWhatIsInTheWay();
    void madeFoldersAreClosedToOthersWrites();
    void commitReplacesAReadOnlyFileInTheFolderChecked();
    void readsOnlyFiles();
    void noFileName_data();
    void noFileName();

private:
    QTemporaryDir m_dir;
};

void tst_ClientPathWin::walkRefusesWhatIsInTheWay_data()
{
    QTest::addColumn<QString>("planted");
    QTest::addColumn<QString>("refusal"); // after "<case>/"
    QTest::newRow("nothing there: made") << ""
                                         << "";
    QTest::newRow("a folder of ours") << "folder"
                                      << "";
    QTest::newRow("a file") << "file"
                            << "mid: it is not a folder";
}

void tst_ClientPathWin::walkRefusesWhatIsInTheWay()
{
    QFETCH(QString, planted);
    QFETCH(QString, refusal);
    const QString base = m_dir.path() + "/" + QTest::currentDataTag();
    const QString mid = base + "/mid";
    QVERIFY(QDir().mkpath(base));
    if (planted == "folder")
        QVERIFY(QDir().mkpath(mid));
    else if (planted == "file")
        WriteFile(mid, "x");

    const ClientPath existing = ClientPath::OpenExisting(mid + "/a/b");
    QCOMPARE(existing.Error(), refusal.isEmpty() ? QString() : base + "/" + refusal);
    if (refusal.isEmpty())
        QCOMPARE(existing.Path(), planted.isEmpty() ? base : mid);
    const ClientPath missing = ClientPath::OpenFolder(mid + "/a/b", false);
    QVERIFY(!missing.IsValid());
    QVERIFY(!QFileInfo::exists(mid + "/a"));

    const ClientPath opened = ClientPath::OpenFolder(mid + "/./a/../a/b", true);
    QCOMPARE(opened.Error(), refusal.isEmpty() ? QString() : base + "/" + refusal);
    QCOMPARE(opened.IsValid(), refusal.isEmpty());
    if (refusal.isEmpty()) {
        QCOMPARE(opened.Path(), mid + "/a/b");
        QVERIFY(QFileInfo(mid + "/a/b").isDir());
        QVERIFY(opened.IsStill(mid + "/a/b"));
        QVERIFY(opened.IsStill(mid + "/a/b/"));
        QVERIFY(!opened.IsStill(mid + "/a"));
    } else {
        QVERIFY(!QFileInfo::exists(mid + "/a"));
    }
}

void tst_ClientPathWin::madeFoldersAreClosedToOthersWrites()
{
    const QString folder = m_dir.path() + "/closed/a";
    QVERIFY(ClientPath::OpenFolder(folder, true).IsValid());
    const WinHandle handle(WinFile::OpenPath(folder, READ_CONTROL | FILE_READ_ATTRIBUTES));
    HandleTrust::Facts facts;
    QVERIFY(WinFile::FactsOf(handle.get(), facts));
    QVERIFY(facts.isFolder);
    QCOMPARE(facts.owner, HandleTrust::Who::User);
    QCOMPARE(facts.othersRights & HandleTrust::Rights::kAnyWrite, 0u);
}

void tst_ClientPathWin::commitReplacesAReadOnlyFileInTheFolderChecked()
{
    const QString folder = m_dir.path() + "/commit";
    WriteFile(folder + "/target", "old");
    QVERIFY(QFile(folder + "/target").setPermissions(QFileDevice::ReadOwner));
    ClientPath parent = ClientPath::OpenParent(folder + "/target", false);
    QVERIFY2(parent.IsValid(), qPrintable(parent.Error()));
    QCOMPARE(parent.Name(), QString("target"));
    QByteArray temp;
    QFile file;
    QVERIFY2(parent.CreateTemp(file, temp, 0644), qPrintable(parent.Error()));
    QCOMPARE(file.write("new\n"), qint64(4));
    file.close();
    QVERIFY2(parent.CommitTemp(temp), qPrintable(parent.Error()));
    QCOMPARE(ReadFile(folder + "/target"), QByteArray("new\n"));
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"target"});

    // A temporary file given up leaves nothing behind.
    QFile abandoned;
    QVERIFY(parent.CreateTemp(abandoned, temp, 0644));
    abandoned.close();
    parent.RemoveTemp(temp);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"target"});

    // The folder moves after the check: a new file still lands in the folder that was checked.
    // (Wine renames and removes nothing below a moved folder's handle, so only the creation is
    // shown here.)
    QVERIFY(QDir().rename(folder, folder + "-moved"));
    QVERIFY(!parent.IsStill(folder));
    QFile late;
    QVERIFY2(parent.CreateTemp(late, temp, 0644), qPrintable(parent.Error()));
    late.close();
    QVERIFY(!QFileInfo::exists(folder));
    QCOMPARE(QDir(folder + "-moved").entryList(QDir::Files | QDir::Hidden),
             (QStringList{QFile::decodeName(temp), "target"}));
}

void tst_ClientPathWin::readsOnlyFiles()
{
    const QString folder = m_dir.path() + "/read";
    WriteFile(folder + "/file", "bytes");
    const Result<int> fd = ClientPath::OpenFileForReading(folder + "/file");
    QVERIFY2(fd && fd.Value() >= 0, qPrintable(fd.Error()));
    QFile file;
    QVERIFY(file.open(fd.Value(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
    QCOMPARE(file.readAll(), QByteArray("bytes"));

    const Result<int> notFile = ClientPath::OpenFileForReading(folder);
    QVERIFY(!notFile);
    QCOMPARE(notFile.Error(), folder + ": it is not a file");
    const Result<int> missing = ClientPath::OpenFileForReading(folder + "/none/file");
    QVERIFY(!missing);
    QCOMPARE(missing.Error(), folder + "/none: it does not exist");
}

void tst_ClientPathWin::noFileName_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("empty") << "";
    QTest::newRow("a drive's root") << "C:/";
    QTest::newRow("a drive") << "C:";
    QTest::newRow("dot dot") << "C:/windows/..";
}

void tst_ClientPathWin::noFileName()
{
    QFETCH(QString, path);
    const ClientPath parent = ClientPath::OpenParent(path, false);
    QVERIFY(!parent.IsValid());
    QVERIFY2(parent.Error().endsWith("no file name"), qPrintable(parent.Error()));
}

QTEST_GUILESS_MAIN(tst_ClientPathWin)
#include "tst_ClientPathWin.moc"
