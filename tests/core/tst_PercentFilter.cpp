#include "core/PercentFilter.h"

#include <QtTest>

#include <cmath>

class tst_PercentFilter : public QObject
{
    Q_OBJECT
private slots:
    void percent_data();
    void percent();
    void filter_data();
    void filter();
};

void tst_PercentFilter::percent_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<double>("expected");
    QTest::newRow("half") << 50LL << 100LL << 50.0;
    QTest::newRow("unknown total") << 500LL << -1LL << 0.0;
    QTest::newRow("zero total") << 0LL << 0LL << 0.0;
    QTest::newRow("single precision") << 1LL << 3LL << double(100.0f / 3.0f);
    QTest::newRow("beyond 4 GiB") << (6LL << 30) << (8LL << 30) << 75.0;
}

void tst_PercentFilter::percent()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(double, expected);
    const double percent = PercentFilter::Percent(received, total);
    QVERIFY(std::isfinite(percent));
    QCOMPARE(percent, expected);
}

void tst_PercentFilter::filter_data()
{
    // Reports after the starting point, the filter, and which of them are sent.
    QTest::addColumn<QList<double>>("reports");
    QTest::addColumn<int>("filterPoints");
    QTest::addColumn<QList<double>>("sent");
    QTest::newRow("first report only sets the start") << QList<double>{40} << 1 << QList<double>{};
    QTest::newRow("more than the filter away from the last kept")
        << QList<double>{0, 0.5, 1.5, 1.9, 3.0} << 1 << QList<double>{1.5, 3.0};
    QTest::newRow("a stage change drops 100 points")
        << QList<double>{0, 100, 0} << 1 << QList<double>{100, 0};
    QTest::newRow("exactly the filter is not enough")
        << QList<double>{0, 5, 10.5} << 5 << QList<double>{10.5};
    QTest::newRow("NaN counts as 0") << QList<double>{50, qQNaN(), 0.5} << 1 << QList<double>{qQNaN()};
}

void tst_PercentFilter::filter()
{
    QFETCH(QList<double>, reports);
    QFETCH(int, filterPoints);
    QFETCH(QList<double>, sent);
    std::optional<int> stored;
    QList<double> out;
    for (const double percent : reports) {
        const PercentFilter::Decision decision = PercentFilter::Filter(stored, percent, filterPoints);
        if (decision.blSend)
            out.append(percent);
        stored = decision.nStored;
    }
    QCOMPARE(out.size(), sent.size());
    for (int i = 0; i < out.size(); ++i)
        QVERIFY(out.at(i) == sent.at(i) || (std::isnan(out.at(i)) && std::isnan(sent.at(i))));
}

QTEST_APPLESS_MAIN(tst_PercentFilter)
#include "tst_PercentFilter.moc"
