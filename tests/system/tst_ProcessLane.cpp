// The process ability's lane: actions end in the order they were asked for, one at a time, and
// the lane holds no more than its bound.
#include "system/ProcessLane.h"

#include <QtTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

class tst_ProcessLane : public QObject
{
    Q_OBJECT
private slots:
    void actionsRunOneAtATimeInOrder();
    void fullLaneRefusesUntilActionsEnd();
};

void tst_ProcessLane::actionsRunOneAtATimeInOrder()
{
    // The first step is the slowest: on a pool of several threads, actions run side by side
    // would end in the reverse order.
    ProcessLane lane(16);
    QStringList ended;
    std::atomic<int> running{0};
    std::atomic<int> mostRunning{0};
    for (int i = 0; i < 4; ++i)
        QVERIFY(lane.Queue([&, i] {
            mostRunning = std::max(mostRunning.load(), ++running);
            std::this_thread::sleep_for(std::chrono::milliseconds(40 * (3 - i)));
            --running;
            return ProcessLane::Then([&, i] { ended.append(QString::number(i)); });
        }));
    QCOMPARE(lane.Actions(), std::size_t(4));
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 4, 10000);
    QCOMPARE(ended.join(QLatin1Char(',')), QStringLiteral("0,1,2,3"));
    QCOMPARE(mostRunning.load(), 1);
    QCOMPARE(lane.Actions(), std::size_t(0));
}

void tst_ProcessLane::fullLaneRefusesUntilActionsEnd()
{
    std::atomic<bool> release{false};
    // Declared after the flag: a failed check still frees the pool's threads on the way out.
    const auto freed = qScopeGuard([&] { release = true; });
    ProcessLane lane(3);
    int ended = 0;
    const auto step = [&] {
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return ProcessLane::Then([&] { ++ended; });
    };
    for (int i = 0; i < 3; ++i)
        QVERIFY(lane.Queue(step));
    QVERIFY(lane.IsFull());
    QVERIFY(!lane.Queue(step));
    release = true;
    QTRY_COMPARE_WITH_TIMEOUT(ended, 3, 10000);
    QVERIFY(lane.Queue(step));
    QTRY_COMPARE_WITH_TIMEOUT(ended, 4, 10000);
}

QTEST_GUILESS_MAIN(tst_ProcessLane)
#include "tst_ProcessLane.moc"
