#include "core/BoundedChild.h"

#include <QElapsedTimer>
#include <QtTest>

class tst_BoundedChild : public QObject
{
    Q_OBJECT
private slots:
    void runs_data();
    void runs();
};

void tst_BoundedChild::runs_data()
{
    QTest::addColumn<QByteArray>("program");
    QTest::addColumn<QList<QByteArray>>("args");
    QTest::addColumn<bool>("merge");
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("timedOut");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("output and exit code")
        << QByteArray("sh") << QList<QByteArray>{"-c", "echo out; echo err >&2; exit 3"} << false << true
        << false << 3 << QByteArray("out\n");
    QTest::newRow("standard error merged") << QByteArray("sh") << QList<QByteArray>{"-c", "echo err >&2"}
                                           << true << true << false << 0 << QByteArray("err\n");
    // An argument is never read by a shell.
    QTest::newRow("argument kept whole") << QByteArray("printf") << QList<QByteArray>{"%s", "a b; $(x)"}
                                         << false << true << false << 0 << QByteArray("a b; $(x)");
    QTest::newRow("missing program") << QByteArray("qorv-no-such-program") << QList<QByteArray>{} << false
                                     << false << false << -1 << QByteArray();
    // Output so far is kept; a child that closed its output but goes on is killed too.
    QTest::newRow("overruns its bound")
        << QByteArray("sh") << QList<QByteArray>{"-c", "echo early; exec sleep 30"} << false << true << true
        << -1 << QByteArray("early\n");
    QTest::newRow("closes output and lingers")
        << QByteArray("sh") << QList<QByteArray>{"-c", "exec >/dev/null; sleep 30"} << false << true << true
        << -1 << QByteArray();
}

void tst_BoundedChild::runs()
{
    QFETCH(QByteArray, program);
    QFETCH(QList<QByteArray>, args);
    QFETCH(bool, merge);
    QFETCH(bool, started);
    QFETCH(bool, timedOut);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    QElapsedTimer timer;
    timer.start();
    const BoundedChild::Result result = BoundedChild::Run(program, args, 1500, 1024, merge);
    QCOMPARE(result.started, started);
    QCOMPARE(result.timedOut, timedOut);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.output, output);
    // Far below the 30 s the child wanted: the bound held.
    QVERIFY(timer.elapsed() < 20000);
}

QTEST_GUILESS_MAIN(tst_BoundedChild)
#include "tst_BoundedChild.moc"
