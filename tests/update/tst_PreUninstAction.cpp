#include "update/PreUninstAction.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// The action runs with its path as an argument (never parsed by a shell), does not block the
// caller, and is killed with every process it started at the bound, even those that left its
// session.
class tst_PreUninstAction : public QObject
{
    Q_OBJECT
private slots:
    void runs_data();
    void runs();
};

void tst_PreUninstAction::runs_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<bool>("completed");
    QTest::newRow("ends by itself") << QByteArray("echo done > marker\n") << true;
    QTest::newRow("fails, still ended by itself") << QByteArray("echo done > marker; exit 3\n") << true;
    QTest::newRow("hangs with a child")
        << QByteArray("sleep 300 & echo $! > child\necho done > marker\nwait\n") << false;
    // Ended itself, but what it left running counts as the action until the bound.
    QTest::newRow("leaves a child in a session of its own, by way of a subshell")
        << QByteArray("(setsid sh -c 'echo $$ > child; exec sleep 300' &)\necho done > marker\n") << false;
}

void tst_PreUninstAction::runs()
{
    QFETCH(QByteArray, script);
    QFETCH(bool, completed);
    QTemporaryDir dir;
    // Blanks and a semicolon: a shell command line would split this name.
    const QString path = dir.path() + "/pre uninst;touch injected.sh";
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(script);
    file.close();

    PreUninstAction action;
    action.SetTimeoutMs(1500);
    QSignalSpy spy(&action, &PreUninstAction::signFinished);
    action.Start(path);
    QVERIFY(action.IsRunning());
    QVERIFY(spy.wait(20000));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().first().toBool(), completed);
    QVERIFY(QFile::exists(dir.path() + "/marker"));
    QVERIFY(!QFile::exists(dir.path() + "/injected.sh") && !QFile::exists(dir.path() + "/injected"));
    QFile childFile(dir.path() + "/child");
    if (childFile.open(QIODevice::ReadOnly)) {
        const pid_t child = childFile.readAll().trimmed().toInt();
        QVERIFY(child > 0);
        // Gone, or a zombie nobody reaps yet: either way no longer running.
        const auto gone = [child] {
            QFile stat(QString("/proc/%1/stat").arg(child));
            return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z");
        };
        QTRY_VERIFY_WITH_TIMEOUT(gone(), 10000);
    }
}

QTEST_GUILESS_MAIN(tst_PreUninstAction)
#include "tst_PreUninstAction.moc"
