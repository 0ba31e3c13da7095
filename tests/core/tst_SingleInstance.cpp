#include "core/SingleInstance.h"

#include <QtTest>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

// The guard is exercised across real processes: a child holds it, the parent tries.
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
    int ready[2];
    QCOMPARE(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        SingleInstance guard("qorv-test-guard");
        const char ok = guard.Acquire() == SingleInstance::State::Acquired ? '1' : '0';
        (void)!write(ready[1], &ok, 1);
        pause();
        _exit(0);
    }
    char state = 0;
    QCOMPARE(read(ready[0], &state, 1), ssize_t(1));
    QCOMPARE(state, '1');
    {
        SingleInstance second("qorv-test-guard");
        QCOMPARE(second.Acquire(), SingleInstance::State::HeldByAnother);
        // So the refused start can say which process runs.
        QCOMPARE(second.HolderPid(), qint64(child));
    }
    // A killed holder must not block the next start.
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    SingleInstance third("qorv-test-guard");
    QCOMPARE(third.Acquire(), SingleInstance::State::Acquired);
    QVERIFY(third.LockPath().startsWith(m_dir.path()));
    close(ready[0]);
    close(ready[1]);
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

QTEST_GUILESS_MAIN(tst_SingleInstance)
#include "tst_SingleInstance.moc"
