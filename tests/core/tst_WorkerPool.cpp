// The worker pool: results back on the main thread, the queue's bound, owed work, objects gone
// before their result, and a thread count that never passes the pool's size.
#include "core/WorkerPool.h"

#include <QCoreApplication>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// Holds a pool thread until released.
struct Gate
{
    std::atomic<bool> open{false};
    std::atomic<int> entered{0};
    void Wait()
    {
        ++entered;
        while (!open)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

} // namespace

class tst_WorkerPool : public QObject
{
    Q_OBJECT
private slots:
    void resultComesBackOnTheMainThread();
    void queueBeyondItsBoundIsRefused();
    void objectGoneBeforeItsResultGetsNothing();
    void stopRunsOwedWorkAndDropsTheRest();
    void threadsNeverExceedThePoolSize();
};

void tst_WorkerPool::resultComesBackOnTheMainThread()
{
    WorkerPool pool(2, 8);
    QObject context;
    bool workOnPool = false, doneOnMain = false;
    int result = 0;
    QVERIFY(pool.Run(
        &context,
        [&workOnPool] {
            workOnPool = QThread::currentThread() != QCoreApplication::instance()->thread();
            return 42;
        },
        [&](int _nValue) {
            doneOnMain = QThread::currentThread() == QCoreApplication::instance()->thread();
            result = _nValue;
        }));
    QTRY_COMPARE_WITH_TIMEOUT(result, 42, 10000);
    QVERIFY(workOnPool);
    QVERIFY(doneOnMain);
}

void tst_WorkerPool::queueBeyondItsBoundIsRefused()
{
    WorkerPool pool(1, 2);
    Gate gate;
    std::atomic<int> ran{0};
    QVERIFY(pool.Submit([&] { gate.Wait(); }));
    QTRY_COMPARE_WITH_TIMEOUT(gate.entered.load(), 1, 10000);
    // The one thread is busy: two wait, the third is refused at once; owed work still gets in.
    QVERIFY(pool.Submit([&] { ++ran; }));
    QVERIFY(pool.Submit([&] { ++ran; }));
    QVERIFY(!pool.Submit([&] { ++ran; }));
    QVERIFY(pool.SubmitOwed([&] { ++ran; }));
    QCOMPARE(pool.Queued(), std::size_t(3));
    gate.open = true;
    QTRY_COMPARE_WITH_TIMEOUT(ran.load(), 3, 10000);
    QVERIFY(pool.Submit([&] { ++ran; }));
    QTRY_COMPARE_WITH_TIMEOUT(ran.load(), 4, 10000);
}

void tst_WorkerPool::objectGoneBeforeItsResultGetsNothing()
{
    WorkerPool pool(1, 8);
    Gate gate;
    auto* context = new QObject;
    bool called = false;
    std::atomic<bool> worked{false};
    QVERIFY(pool.Run(
        context,
        [&] {
            gate.Wait();
            worked = true;
            return 1;
        },
        [&called](int) { called = true; }));
    QTRY_COMPARE_WITH_TIMEOUT(gate.entered.load(), 1, 10000);
    delete context;
    gate.open = true;
    QTRY_VERIFY_WITH_TIMEOUT(worked.load(), 10000);
    // Whatever was delivered has been handled once the pool has stopped and events have run.
    pool.Stop();
    QCoreApplication::processEvents();
    QVERIFY(!called);
}

void tst_WorkerPool::stopRunsOwedWorkAndDropsTheRest()
{
    WorkerPool pool(1, 8);
    Gate gate;
    std::atomic<bool> dropped{false}, owed{false};
    QVERIFY(pool.Submit([&] { gate.Wait(); }));
    QTRY_COMPARE_WITH_TIMEOUT(gate.entered.load(), 1, 10000);
    QVERIFY(pool.Submit([&] { dropped = true; }));
    QVERIFY(pool.SubmitOwed([&] { owed = true; }));
    std::thread opener([&gate] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        gate.open = true;
    });
    pool.Stop();
    opener.join();
    QVERIFY(owed);
    QVERIFY(!dropped);
    QVERIFY(!pool.Submit([] {}));
    QCOMPARE(pool.Threads(), 0);
}

void tst_WorkerPool::threadsNeverExceedThePoolSize()
{
    WorkerPool pool(3, 1000);
    std::atomic<int> running{0}, most{0}, done{0};
    for (int i = 0; i < 60; ++i)
        QVERIFY(pool.Submit([&] {
            const int now = ++running;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            --running;
            ++done;
        }));
    QVERIFY(pool.Threads() <= 3);
    QTRY_COMPARE_WITH_TIMEOUT(done.load(), 60, 30000);
    QVERIFY(most.load() <= 3);
    QVERIFY(pool.Threads() <= 3);
}

QTEST_GUILESS_MAIN(tst_WorkerPool)
#include "tst_WorkerPool.moc"
