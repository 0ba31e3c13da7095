#include "core/PrivateFolder.h"
#include "core/SingleInstance.h"

#include <QtTest>

#include <cstdio>

// The guard is exercised across real processes: a child (this program, started with --hold) holds
// it, the parent tries.
class tst_SingleInstance : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void secondHolderIsRefusedUntilTheFirstDies();
    void sameProcessReacquires();

private:
    QTemporaryDir m_dir;
};

void tst_SingleInstance::init()
{
    qputenv("XDG_RUNTIME_DIR", m_dir.path().toUtf8());
}

void tst_SingleInstance::secondHolderIsRefusedUntilTheFirstDies()
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--hold", "qorv-test-guard"});
    QVERIFY(child.waitForStarted(30000));
    QVERIFY(child.waitForReadyRead(30000));
    QCOMPARE(child.readAll().trimmed(), QByteArray("1"));
    {
        SingleInstance second("qorv-test-guard");
        QCOMPARE(second.Acquire(), SingleInstance::State::HeldByAnother);
        // So the refused start can say which process runs.
        QCOMPARE(second.HolderPid(), child.processId());
    }
    // A killed holder must not block the next start.
    child.kill();
    QVERIFY(child.waitForFinished(30000));
    SingleInstance third("qorv-test-guard");
    QCOMPARE(third.Acquire(), SingleInstance::State::Acquired);
    // Linux keeps the lock in the user's runtime folder; Windows has none and uses the cache.
    QVERIFY2(third.LockPath().startsWith(QSysInfo::kernelType() == "linux" ? m_dir.path()
                                                                           : PrivateFolder::CacheRoot()),
             qPrintable(third.LockPath()));
}

void tst_SingleInstance::sameProcessReacquires()
{
    {
        SingleInstance first("qorv-test-other");
        QCOMPARE(first.Acquire(), SingleInstance::State::Acquired);
        QCOMPARE(first.Acquire(), SingleInstance::State::Acquired);
    }
    SingleInstance again("qorv-test-other");
    QCOMPARE(again.Acquire(), SingleInstance::State::Acquired);
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--hold") == 0) {
        SingleInstance guard(QString::fromLocal8Bit(argv[2]));
        std::printf("%c\n", guard.Acquire() == SingleInstance::State::Acquired ? '1' : '0');
        std::fflush(stdout);
        // Held until killed; standard input ends with the parent, so no holder outlives the test.
        while (std::getchar() != EOF) {
        }
        return 0;
    }
    tst_SingleInstance test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_SingleInstance.moc"
