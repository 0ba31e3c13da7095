// The service's own folders on Windows: made with an access list only the user is on, refused
// where a part is no folder, and files written whole below the folder's handle. Owners and other
// users' rights are decided by HandleTrust (tst_HandleTrust).
#include "core/HandleTrust.h"
#include "core/PrivateFolder.h"
#include "core/WinFile.h"
#include "tests/support/TestFiles.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_PrivateFolderWin : public QObject
{
    Q_OBJECT
private slots:
    void madeForTheUserOnly();
    void aFileInThePlaceOfAPartIsRefused();
    void filesAreWrittenWholeAndListed();

private:
    QTemporaryDir m_dir;
};

void tst_PrivateFolderWin::madeForTheUserOnly()
{
    const PrivateFolder folder = PrivateFolder::Open(m_dir.path(), {"svc", "inner"});
    QVERIFY2(folder.IsValid(), qPrintable(folder.Error()));
    QCOMPARE(folder.Path(), m_dir.path() + "/svc/inner");
    for (const QString& path : {m_dir.path() + "/svc", folder.Path()}) {
        const WinHandle handle(WinFile::OpenPath(path, READ_CONTROL | FILE_READ_ATTRIBUTES));
        HandleTrust::Facts facts;
        QVERIFY(WinFile::FactsOf(handle.get(), facts));
        QCOMPARE(facts.owner, HandleTrust::Who::User);
        QCOMPARE(facts.othersRights, 0u);
    }
    // Opened again as it is: still usable.
    QVERIFY(PrivateFolder::Open(m_dir.path(), {"svc", "inner"}).IsValid());
}

void tst_PrivateFolderWin::aFileInThePlaceOfAPartIsRefused()
{
    WriteFile(m_dir.path() + "/plain/svc", "x");
    const PrivateFolder folder = PrivateFolder::Open(m_dir.path() + "/plain", {"svc", "inner"});
    QVERIFY(!folder.IsValid());
    QCOMPARE(folder.Error(), m_dir.path() + "/plain/svc: it is a link or no folder");
    QCOMPARE(ReadFile(m_dir.path() + "/plain/svc"), QByteArray("x"));
    QVERIFY(!PrivateFolder::Open(m_dir.path(), {"a:b"}).IsValid());
    QVERIFY(!PrivateFolder::Open(m_dir.path(), {"a\\b"}).IsValid());
}

void tst_PrivateFolderWin::filesAreWrittenWholeAndListed()
{
    const PrivateFolder folder = PrivateFolder::Open(m_dir.path(), {"files"});
    QVERIFY(folder.IsValid());
    const Result<> first = folder.WriteFile("state", "first");
    QVERIFY2(first, qPrintable(first.Error()));
    const Result<> second = folder.WriteFile("state", "second\n");
    QVERIFY2(second, qPrintable(second.Error()));
    QCOMPARE(ReadFile(folder.Path() + "/state"), QByteArray("second\n"));
    QVERIFY(QDir(folder.Path() + "/sub").mkpath("."));

    QFile log;
    QVERIFY(folder.OpenFile(log, "service.log", QIODevice::WriteOnly | QIODevice::Append));
    QCOMPARE(log.fileName(), folder.Path() + "/service.log");
    QCOMPARE(log.write("line\n"), qint64(5));
    log.close();
    QVERIFY(!folder.OpenFile(log, "sub", QIODevice::WriteOnly));

    const QDateTime before = QDateTime::currentDateTime().addSecs(-60);
    QMap<QString, qint64> sizes;
    for (const PrivateFolder::FileEntry& entry : folder.Files()) {
        sizes.insert(entry.qstrName, entry.nBytes);
        QVERIFY(QDateTime::fromMSecsSinceEpoch(entry.nModifiedMs) > before);
    }
    QCOMPARE(sizes, (QMap<QString, qint64>{{"state", 7}, {"service.log", 5}}));
    QVERIFY(folder.RemoveFile("state"));
    QVERIFY(!folder.RemoveFile("sub"));
    QVERIFY(!QFileInfo::exists(folder.Path() + "/state"));
}

QTEST_GUILESS_MAIN(tst_PrivateFolderWin)
#include "tst_PrivateFolderWin.moc"
