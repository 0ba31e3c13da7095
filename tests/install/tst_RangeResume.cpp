// What a response means for a download's file after a cut: a range that does not continue the
// file exactly must never be appended, and the retries follow the schedule.
#include "install/RangeResume.h"

#include <QNetworkRequest>
#include <QtTest>

namespace {

// A response's headers, as a finished reply carries them.
class HeaderReply : public QNetworkReply
{
public:
    HeaderReply(const QList<QPair<QByteArray, QByteArray>>& _listHeaders, qint64 _nLength)
    {
        for (const auto& header : _listHeaders)
            setRawHeader(header.first, header.second);
        if (_nLength >= 0)
            setHeader(QNetworkRequest::ContentLengthHeader, _nLength);
        open(QIODevice::ReadOnly);
    }
    void abort() override {}

protected:
    qint64 readData(char*, qint64) override { return -1; }
};

} // namespace

class tst_RangeResume : public QObject
{
    Q_OBJECT
private slots:
    void contentRange_data();
    void contentRange();
    void judge_data();
    void judge();
    void retriesOnlyAfterBytesAndWithinTheSchedule();
    void requestAsksForTheRestOnly();
    void ifRangeNamesAStrongVersion_data();
    void ifRangeNamesAStrongVersion();
};

void tst_RangeResume::contentRange_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("total");

    QTest::newRow("with total") << QByteArray("bytes 100-199/200") << true << 100LL << 200LL;
    QTest::newRow("total unknown") << QByteArray("bytes 100-199/*") << true << 100LL << -1LL;
    QTest::newRow("spaces around") << QByteArray("  bytes  5-9/10 ") << true << 5LL << 10LL;
    QTest::newRow("last before first") << QByteArray("bytes 9-5/10") << false << 0LL << 0LL;
    QTest::newRow("last beyond total") << QByteArray("bytes 0-10/10") << false << 0LL << 0LL;
    QTest::newRow("no first") << QByteArray("bytes -5/10") << false << 0LL << 0LL;
    QTest::newRow("negative first") << QByteArray("bytes -1-5/10") << false << 0LL << 0LL;
    QTest::newRow("another unit") << QByteArray("items 0-5/10") << false << 0LL << 0LL;
    QTest::newRow("unsatisfied form") << QByteArray("bytes */10") << false << 0LL << 0LL;
    QTest::newRow("not a number") << QByteArray("bytes 0-x/10") << false << 0LL << 0LL;
}

void tst_RangeResume::contentRange()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, valid);
    qint64 first = -1;
    qint64 last = -1;
    qint64 total = -1;
    QCOMPARE(RangeResume::ParseContentRange(value, first, last, total), valid);
    if (valid) {
        QTEST(first, "first");
        QTEST(total, "total");
    }
}

void tst_RangeResume::judge_data()
{
    QTest::addColumn<qint64>("written"); // bytes in the file when the request went out
    QTest::addColumn<qint64>("knownTotal");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<int>("verdict");
    QTest::addColumn<qint64>("total");

    using V = RangeResume::Verdict;
    QTest::newRow("first request, 200") << 0LL << -1LL << 200 << QByteArray() << int(V::Whole) << -1LL;
    QTest::newRow("first request, 404") << 0LL << -1LL << 404 << QByteArray() << int(V::Drop) << -1LL;
    QTest::newRow("redirect") << 100LL << 200LL << 302 << QByteArray() << int(V::Wait) << 200LL;
    QTest::newRow("range continues") << 100LL << 200LL << 206 << QByteArray("bytes 100-199/200")
                                     << int(V::Continues) << 200LL;
    QTest::newRow("range names the total first")
        << 100LL << -1LL << 206 << QByteArray("bytes 100-199/200") << int(V::Continues) << 200LL;
    QTest::newRow("range starts elsewhere")
        << 100LL << 200LL << 206 << QByteArray("bytes 0-199/200") << int(V::Broken) << 200LL;
    QTest::newRow("range of another length")
        << 100LL << 200LL << 206 << QByteArray("bytes 100-299/300") << int(V::Broken) << 200LL;
    QTest::newRow("range without Content-Range")
        << 100LL << 200LL << 206 << QByteArray() << int(V::Broken) << 200LL;
    QTest::newRow("another 2xx to a range")
        << 100LL << 200LL << 203 << QByteArray("bytes 100-199/200") << int(V::Broken) << 200LL;
    QTest::newRow("200 to a range") << 100LL << 200LL << 200 << QByteArray() << int(V::StartOver) << 200LL;
    QTest::newRow("416 to a range") << 100LL << 200LL << 416 << QByteArray() << int(V::Drop) << 200LL;
}

void tst_RangeResume::judge()
{
    QFETCH(qint64, written);
    QFETCH(qint64, knownTotal);
    QFETCH(int, status);
    QFETCH(QByteArray, range);
    RangeResume resume;
    resume.Reset();
    if (knownTotal >= 0)
        resume.AdoptWhole(HeaderReply({}, knownTotal));
    QNetworkRequest request;
    resume.Prepare(request, written);
    QTEST(int(resume.Judge(status, range, written)), "verdict");
    // A range that does not continue the file leaves the known length as it was.
    QTEST(resume.Total(), "total");
}

void tst_RangeResume::retriesOnlyAfterBytesAndWithinTheSchedule()
{
    RangeResume resume;
    resume.SetRetryWaits({10, -5, 30});
    resume.Reset();
    // A cut before any byte arrived is a failure, not a retry.
    QVERIFY(!resume.TakeRetry());
    resume.NoteBytesArrived();
    QCOMPARE(resume.TakeRetry(), std::optional<int>(10));
    QCOMPARE(resume.TakeRetry(), std::optional<int>(0));
    QCOMPARE(resume.TakeRetry(), std::optional<int>(30));
    QVERIFY(!resume.TakeRetry());
    QCOMPARE(resume.RetriesUsed(), 3);
    // A new download has the whole schedule again.
    resume.Reset();
    resume.NoteBytesArrived();
    QCOMPARE(resume.TakeRetry(), std::optional<int>(10));
}

void tst_RangeResume::requestAsksForTheRestOnly()
{
    RangeResume resume;
    resume.Reset();
    QNetworkRequest first;
    resume.Prepare(first, 0);
    QVERIFY(!first.hasRawHeader("Range"));
    QNetworkRequest again;
    resume.Prepare(again, 4096);
    QCOMPARE(again.rawHeader("Range"), QByteArray("bytes=4096-"));
    // No validator known: no If-Range, so the answer must still name the first length.
    QVERIFY(!again.hasRawHeader("If-Range"));
    QCOMPARE(resume.ReplyStart(), 4096LL);
}

void tst_RangeResume::ifRangeNamesAStrongVersion_data()
{
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<QByteArray>("lastModified");
    QTest::addColumn<QByteArray>("ifRange"); // empty: not sent

    const QByteArray date("Tue, 08 Dec 2026 10:00:00 GMT");
    QTest::newRow("strong ETag") << QByteArray("\"v1\"") << date << QByteArray("\"v1\"");
    QTest::newRow("weak ETag: the date") << QByteArray("W/\"v1\"") << date << date;
    QTest::newRow("no ETag: the date") << QByteArray() << date << date;
    QTest::newRow("weak ETag, no date") << QByteArray("W/\"v1\"") << QByteArray() << QByteArray();
    QTest::newRow("neither") << QByteArray() << QByteArray() << QByteArray();
}

void tst_RangeResume::ifRangeNamesAStrongVersion()
{
    QFETCH(QByteArray, etag);
    QFETCH(QByteArray, lastModified);
    QFETCH(QByteArray, ifRange);
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!etag.isEmpty())
        headers.append({"ETag", etag});
    if (!lastModified.isEmpty())
        headers.append({"Last-Modified", lastModified});
    RangeResume resume;
    resume.Reset();
    QNetworkRequest first;
    resume.Prepare(first, 0);
    resume.AdoptWhole(HeaderReply(headers, 1000));
    QCOMPARE(resume.Total(), 1000LL);
    QNetworkRequest again;
    resume.Prepare(again, 500);
    QCOMPARE(again.rawHeader("If-Range"), ifRange);
}

QTEST_GUILESS_MAIN(tst_RangeResume)
#include "tst_RangeResume.moc"
