// Refused connections summarised: one line per uid per minute, with the count since the last.
#include "core/RefusalSummary.h"

#include <QtTest>

// (uid, ms) of each refusal, in order.
using Refusals = QList<QPair<qint64, qint64>>;

class tst_RefusalSummary : public QObject
{
    Q_OBJECT
private slots:
    void floodGivesOneLineAMinuteWithItsCount();
    void quietUidIsLoggedAtOnceAgain();
    void waitUntilTheNextLine_data();
    void waitUntilTheNextLine();
};

void tst_RefusalSummary::floodGivesOneLineAMinuteWithItsCount()
{
    RefusalSummary summary;
    // 4,550 refusals in 12 s, as a flood makes them, beside one of another uid.
    int lines = 0;
    QCOMPARE(summary.Note(1000, 0), 1);
    for (int i = 1; i < 4550; ++i)
        lines += summary.Note(1000, i * 12000 / 4550) > 0;
    QCOMPARE(lines, 0);
    QCOMPARE(summary.Note(65534, 5000), 1);
    QVERIFY(summary.Due(30000).empty());
    // The minute is over: the rest comes out in one line, by the next refusal or the periodic call.
    QCOMPARE(summary.Note(1000, 60000), 4550);
    const auto due = summary.Due(65000);
    QVERIFY(due.empty());
    QCOMPARE(summary.Note(1000, 61000), 0);
    QCOMPARE(summary.Note(1000, 62000), 0);
    const auto later = summary.Due(120000);
    QCOMPARE(later.size(), std::size_t(1));
    QCOMPARE(later.front().first, qint64(1000));
    QCOMPARE(later.front().second, 2);
}

void tst_RefusalSummary::quietUidIsLoggedAtOnceAgain()
{
    RefusalSummary summary;
    QCOMPARE(summary.Note(7, 0), 1);
    QVERIFY(summary.Due(60000).empty());
    QCOMPARE(summary.Note(7, 60001), 1);
}

void tst_RefusalSummary::waitUntilTheNextLine_data()
{
    // Refusals as (uid, ms) pairs, then the time asked at and the wait expected.
    QTest::addColumn<Refusals>("refusals");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<qint64>("wait");
    QTest::newRow("none") << Refusals{} << qint64(0) << qint64(-1);
    QTest::newRow("first one logged at once") << Refusals{{7, 0}} << qint64(10000) << qint64(-1);
    QTest::newRow("second one waits for its minute")
        << Refusals{{7, 0}, {7, 5000}} << qint64(20000) << qint64(40000);
    QTest::newRow("earliest of two uids")
        << Refusals{{7, 0}, {8, 30000}, {8, 31000}, {7, 32000}} << qint64(40000) << qint64(20000);
    QTest::newRow("overdue is now") << Refusals{{7, 0}, {7, 5000}} << qint64(90000) << qint64(0);
}

void tst_RefusalSummary::waitUntilTheNextLine()
{
    QFETCH(Refusals, refusals);
    QFETCH(qint64, now);
    QFETCH(qint64, wait);
    RefusalSummary summary;
    for (const auto& refusal : refusals)
        summary.Note(refusal.first, refusal.second);
    QCOMPARE(summary.MsUntilDue(now), wait);
    // Asked exactly then, Due() has the line the wait announced.
    if (wait >= 0)
        QCOMPARE(summary.Due(now + wait).size(), std::size_t(1));
}

QTEST_GUILESS_MAIN(tst_RefusalSummary)
#include "tst_RefusalSummary.moc"
