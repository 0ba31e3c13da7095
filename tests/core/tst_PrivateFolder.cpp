// The service's own folders: made closed to others, refused when planted by someone else or open
// to their writes, and no file is ever opened through a link planted inside.
#include "core/PrivateFolder.h"
#include "tests/support/FileMode.h"
#include "tests/support/TestFiles.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class tst_PrivateFolder : public QObject
{
    Q_OBJECT
private slots:
    void opensOnlyWhatIsPrivate_data();
    void opensOnlyWhatIsPrivate();
    void filesAreCreatedPrivateAndNeverThroughALink();

private:
    QTemporaryDir m_dir;
};

void tst_PrivateFolder::opensOnlyWhatIsPrivate_data()
{
    QTest::addColumn<QString>("planted");
    QTest::addColumn<bool>("usable");
    QTest::newRow("nothing there: made") << "" << true;
    QTest::newRow("ours, readable by others: closed") << "ours-0755" << true;
    QTest::newRow("ours, writable by others") << "ours-0777" << false;
    QTest::newRow("a link to a folder of ours") << "link" << false;
    QTest::newRow("another user's folder") << "foreign" << false;
}

void tst_PrivateFolder::opensOnlyWhatIsPrivate()
{
    QFETCH(QString, planted);
    QFETCH(bool, usable);
    const QString base = m_dir.path() + "/" + QTest::currentDataTag();
    const QString folder = base + "/svc";
    QVERIFY(QDir().mkpath(base + "/elsewhere"));
    if (planted.startsWith("ours")) {
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), planted.endsWith("0755") ? 0755 : 0777) == 0);
    } else if (planted == "link") {
        QVERIFY(::chmod(QFile::encodeName(base + "/elsewhere").constData(), 0700) == 0);
        QVERIFY(QFile::link(base + "/elsewhere", folder));
    } else if (planted == "foreign") {
        if (::geteuid() != 0)
            QSKIP("giving a folder to another user needs root");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0700) == 0);
    }
    const PrivateFolder opened = PrivateFolder::Open(base, {"svc", "inner"});
    QCOMPARE(opened.IsValid(), usable);
    QCOMPARE(opened.Error().isEmpty(), usable);
    if (usable) {
        QCOMPARE(opened.Path(), folder + "/inner");
        QCOMPARE(FileMode(folder), 0700u);
        QCOMPARE(FileMode(folder + "/inner"), 0700u);
    } else {
        QVERIFY(QDir(base + "/elsewhere").isEmpty());
    }
}

void tst_PrivateFolder::filesAreCreatedPrivateAndNeverThroughALink()
{
    const PrivateFolder folder = PrivateFolder::Open(m_dir.path(), {"files"});
    QVERIFY(folder.IsValid());
    QVERIFY(folder.WriteFile("state", "content"));
    QCOMPARE(ReadFile(folder.Path() + "/state"), QByteArray("content"));
    QCOMPARE(FileMode(folder.Path() + "/state"), 0600u);
    QCOMPARE(folder.Files().size(), 1);

    // A link left inside (by the user, or by anyone while the folder was open) is never opened.
    WriteFile(m_dir.path() + "/victim", "precious");
    QVERIFY(QFile::link(m_dir.path() + "/victim", folder.Path() + "/log"));
    QFile file;
    QVERIFY(!folder.OpenFile(file, "log", QIODevice::WriteOnly | QIODevice::Append));
    QVERIFY(folder.OpenFile(file, "other.log", QIODevice::WriteOnly | QIODevice::Append));
    QCOMPARE(file.fileName(), folder.Path() + "/other.log");
    QCOMPARE(FileMode(file.fileName()), 0600u);
    QCOMPARE(ReadFile(m_dir.path() + "/victim"), QByteArray("precious"));
}

QTEST_GUILESS_MAIN(tst_PrivateFolder)
#include "tst_PrivateFolder.moc"
