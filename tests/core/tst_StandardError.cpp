#include "core/StandardError.h"
#include "tests/core/RedirectedError.h"

#include <QtTest>

#include <sys/stat.h>

Q_DECLARE_METATYPE(StandardError::Kind)

class tst_StandardError : public QObject
{
    Q_OBJECT
private slots:
    void journalOnlyWhenTheStreamIsOurs_data();
    void journalOnlyWhenTheStreamIsOurs();
};

void tst_StandardError::journalOnlyWhenTheStreamIsOurs_data()
{
    QTest::addColumn<QString>("stream"); // "ours": the device and inode of our standard error
    QTest::addColumn<StandardError::Kind>("kind");
    QTest::newRow("started by systemd") << "ours" << StandardError::Kind::Journal;
    // A child of a unit inherits the variable, but its standard error leads elsewhere.
    QTest::newRow("inherited from a unit") << "1:2" << StandardError::Kind::Other;
    QTest::newRow("no journal") << "" << StandardError::Kind::Other;
}

void tst_StandardError::journalOnlyWhenTheStreamIsOurs()
{
    QFETCH(QString, stream);
    QFETCH(StandardError::Kind, kind);
    QTemporaryFile file;
    QVERIFY(file.open());
    struct stat info = {};
    QCOMPARE(fstat(file.handle(), &info), 0);
    if (stream == "ours")
        stream = QString("%1:%2").arg(info.st_dev).arg(info.st_ino);
    if (stream.isEmpty())
        qunsetenv("JOURNAL_STREAM");
    else
        qputenv("JOURNAL_STREAM", stream.toUtf8());
    RedirectedError redirect(file.handle());
    QCOMPARE(StandardError::Detect(), kind);
}

QTEST_APPLESS_MAIN(tst_StandardError)
#include "tst_StandardError.moc"
