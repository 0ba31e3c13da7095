// Where archive entries land on Windows: names are resolved through what exists, and a folder
// that exists under another case is the same folder, not a link to elsewhere.
#include "install/ZipEntryGuard.h"
#include "tests/support/TestFiles.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_ZipEntryGuardWin : public QObject
{
    Q_OBJECT
private slots:
    void entriesThroughExistingFolders_data();
    void entriesThroughExistingFolders();
};

void tst_ZipEntryGuardWin::entriesThroughExistingFolders_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("verdict");
    QTest::newRow("a new folder") << "new/a.txt" << int(ZipEntryGuard::Ok);
    QTest::newRow("an existing folder") << "bin/a.dll" << int(ZipEntryGuard::Ok);
    QTest::newRow("an existing folder in another case") << "BIN/Deep/b.dll" << int(ZipEntryGuard::Ok);
    QTest::newRow("an existing file's name in another case") << "Readme.TXT" << int(ZipEntryGuard::Ok);
    QTest::newRow("a drive letter") << "C:/windows/x" << int(ZipEntryGuard::Colon);
}

void tst_ZipEntryGuardWin::entriesThroughExistingFolders()
{
    QFETCH(QString, name);
    QFETCH(int, verdict);
    QTemporaryDir dir;
    WriteFile(dir.path() + "/dest/bin/deep/old.dll", "x");
    WriteFile(dir.path() + "/dest/readme.txt", "x");
    // Named with native separators and in another case: the same folder all the same.
    ZipEntryGuard guard(QFile::encodeName(QDir::toNativeSeparators(dir.path() + "/DEST")));
    QCOMPARE(int(guard.Check(QFile::encodeName(name), name, false)), verdict);
}

QTEST_GUILESS_MAIN(tst_ZipEntryGuardWin)
#include "tst_ZipEntryGuardWin.moc"
