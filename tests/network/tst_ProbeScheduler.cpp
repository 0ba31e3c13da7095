#include "network/ProbeScheduler.h"

#include <QtTest>

// Who gets a turn: scripts of probes queued and ended by clients, and the probes that started.
class tst_ProbeScheduler : public QObject
{
    Q_OBJECT

private slots:
    void turns_data();
    void turns();
    void probeEndingInsideItsStart();
};

void tst_ProbeScheduler::turns_data()
{
    // A script is a list of steps: "A+N" queues N probes of client A (named A0, A1, ... in the
    // order asked), "A-" ends A's oldest running probe. "started" lists the probes that started,
    // in order; "running" the probes running per client at the end.
    QTest::addColumn<int>("perClient");
    QTest::addColumn<int>("total");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("started");
    QTest::addColumn<QString>("running");
    QTest::newRow("one client: its share runs, the rest wait") << 8 << 128 << "A+100"
                                                               << "A0 A1 A2 A3 A4 A5 A6 A7"
                                                               << "A8";
    QTest::newRow("a second client starts at once while the first has 100 waiting")
        << 8 << 128 << "A+108 B+1"
        << "A0 A1 A2 A3 A4 A5 A6 A7 B0"
        << "A8 B1";
    QTest::newRow("an ended probe hands its turn to the client's next, in order")
        << 8 << 128 << "A+100 B+2 A- A- B- A-"
        << "A0 A1 A2 A3 A4 A5 A6 A7 B0 B1 A8 A9 A10"
        << "A8 B1";
    QTest::newRow("a client's waiting probes do not count against another's share")
        << 2 << 128 << "A+5 B+5 C+1 B-"
        << "A0 A1 B0 B1 C0 B2"
        << "A2 B2 C1";
    QTest::newRow("total bound: turns go to clients that waited, not to the one that ended")
        << 8 << 10 << "A+20 B+20 C+1 A- A-"
        << "A0 A1 A2 A3 A4 A5 A6 A7 B0 B1 B2 C0"
        << "A6 B3 C1";
    QTest::newRow("total bound: turns go round the waiting clients, one each")
        << 8 << 3 << "A+5 B+5 C+5 A- A- A- B- C-"
        << "A0 A1 A2 A3 B0 C0 A4 B1"
        << "A2 B1";
    QTest::newRow("the last probe ended: nothing left") << 8 << 128 << "A+2 A- A-"
                                                        << "A0 A1"
                                                        << "";
    QTest::newRow("an end without a running probe changes nothing") << 1 << 128 << "B- A+2 B-"
                                                                    << "A0"
                                                                    << "A1";
}

void tst_ProbeScheduler::turns()
{
    QFETCH(int, perClient);
    QFETCH(int, total);
    QFETCH(QString, script);
    QFETCH(QString, started);
    QFETCH(QString, running);

    ProbeScheduler scheduler(perClient, total);
    QStringList order;
    QMap<QString, int> asked;
    for (const QString& step : script.split(QLatin1Char(' '))) {
        const QString client = step.left(1);
        if (step.at(1) == QLatin1Char('-')) {
            scheduler.Release(client);
            continue;
        }
        for (int i = 0, count = step.mid(2).toInt(); i < count; ++i) {
            const QString probe = client + QString::number(asked[client]++);
            scheduler.Queue(client, [&order, probe] { order.append(probe); });
        }
    }
    QCOMPARE(order.join(QLatin1Char(' ')), started);

    QStringList counts;
    int sum = 0, waiting = 0;
    for (const QString& client : asked.keys()) {
        if (scheduler.Running(client) > 0)
            counts.append(client + QString::number(scheduler.Running(client)));
        sum += scheduler.Running(client);
        waiting += scheduler.Waiting(client);
    }
    QCOMPARE(counts.join(QLatin1Char(' ')), running);
    QCOMPARE(scheduler.RunningTotal(), sum);
    // Every probe asked for either started or still waits.
    int allAsked = 0;
    for (int n : asked)
        allAsked += n;
    QCOMPARE(order.size() + waiting, allAsked);
}

void tst_ProbeScheduler::probeEndingInsideItsStart()
{
    // A probe settled at once ends and asks for the next from inside its own start: the next
    // waits behind the turn already owed to another client, and the bounds still hold.
    ProbeScheduler scheduler(1, 1);
    const QString a = QStringLiteral("A"), b = QStringLiteral("B");
    QStringList order;
    scheduler.Queue(a, [&] { order.append(QStringLiteral("a")); });
    scheduler.Queue(b, [&] {
        order.append(QStringLiteral("b"));
        scheduler.Release(b);
        scheduler.Queue(b, [&] { order.append(QStringLiteral("d")); });
    });
    scheduler.Queue(a, [&] { order.append(QStringLiteral("c")); });
    scheduler.Release(a);
    QCOMPARE(order.join(QLatin1Char(' ')), QStringLiteral("a b c"));
    QCOMPARE(scheduler.RunningTotal(), 1);
    scheduler.Release(a);
    QCOMPARE(order.join(QLatin1Char(' ')), QStringLiteral("a b c d"));
    QCOMPARE(scheduler.Running(b), 1);
    QCOMPARE(scheduler.Waiting(a) + scheduler.Waiting(b), 0);
}

QTEST_APPLESS_MAIN(tst_ProbeScheduler)
#include "tst_ProbeScheduler.moc"
