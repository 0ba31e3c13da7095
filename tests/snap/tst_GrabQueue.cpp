// The shared full-screen grab without a display: who shares a picture, who is refused, how a
// grab ends for everyone, and answers that wait while the transports hold too much.
#include "snap/GrabQueue.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

Q_DECLARE_METATYPE(CaptureResult::Kind)

namespace {

struct Answered
{
    CaptureResult result;
    qint64 atMs = 0;
    qint64 unsent = 0; // what the transports held when it was answered
};

QImage Picture()
{
    QImage image(64, 48, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x * 4, y * 5, (x + y) % 256));
    return image;
}

} // namespace

class tst_GrabQueue : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void requestsShareOnePicture();
    void grabEndsForEveryone_data();
    void grabEndsForEveryone();
    void answersWaitForTheTransports_data();
    void answersWaitForTheTransports();

private:
    CaptureCallback Record(std::vector<Answered>& _answers);

    QTemporaryDir m_tmp;
    qint64 m_nUnsent = 0;
    QElapsedTimer m_clock;
};

void tst_GrabQueue::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    // The files go to the snapshot folder of the temporary folder.
    qputenv("TMPDIR", QFile::encodeName(m_tmp.path()));
    m_clock.start();
}

CaptureCallback tst_GrabQueue::Record(std::vector<Answered>& _answers)
{
    return [this, &_answers](const CaptureResult& _result) {
        _answers.push_back(Answered{_result, m_clock.elapsed(), m_nUnsent});
    };
}

void tst_GrabQueue::requestsShareOnePicture()
{
    m_nUnsent = 0;
    GrabQueue queue([this] { return m_nUnsent; });
    // Which request each answer went to, in the order they came.
    std::vector<std::pair<int, CaptureResult>> answers;
    const int requests = 1 + GrabQueue::kMaxWaitingRequests + 1;
    for (int i = 0; i < requests; ++i)
        QCOMPARE(queue.Join([&answers, i](const CaptureResult& _r) { answers.emplace_back(i, _r); }), i == 0);
    // The one that grabbed and as many as may wait beside it; the last is refused at once.
    QCOMPARE(answers.size(), std::size_t(1));
    QCOMPARE(answers.front().first, requests - 1);
    QCOMPARE(answers.front().second.reason, CaptureResult::kSnapFailed);
    QVERIFY(queue.AwaitsPicture());
    queue.SetPicture(Picture());
    QVERIFY(!queue.AwaitsPicture());
    QTRY_COMPARE(answers.size(), std::size_t(requests));
    QSet<QString> paths;
    for (int i = 0; i + 1 < requests; ++i) {
        QCOMPARE(answers[i + 1].first, i);
        const CaptureResult& result = answers[i + 1].second;
        QVERIFY(result.kind == CaptureResult::Kind::Taken);
        QCOMPARE(result.imageBase64, answers[1].second.imageBase64);
        paths.insert(result.pathBase64);
    }
    // One picture, each with a file of its own.
    QCOMPARE(paths.size(), requests - 1);
    QCOMPARE(QImage::fromData(QByteArray::fromBase64(answers[1].second.imageBase64), "PNG")
                 .convertToFormat(QImage::Format_RGB32),
             Picture());
    // Over: the next request grabs again.
    QVERIFY(queue.Join([](const CaptureResult&) {}));
}

void tst_GrabQueue::grabEndsForEveryone_data()
{
    QTest::addColumn<QString>("end");
    QTest::addColumn<CaptureResult::Kind>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no picture") << "fail" << CaptureResult::Kind::Failed << CaptureResult::kSnapFailed;
    QTest::newRow("no room on the pool") << "refuse" << CaptureResult::Kind::Refused << QString();
    QTest::newRow("picture not encodable")
        << "null" << CaptureResult::Kind::Failed << CaptureResult::kSaveFailed;
}

void tst_GrabQueue::grabEndsForEveryone()
{
    QFETCH(QString, end);
    QFETCH(CaptureResult::Kind, kind);
    QFETCH(QString, reason);
    m_nUnsent = 0;
    GrabQueue queue([this] { return m_nUnsent; });
    std::vector<Answered> answers;
    for (int i = 0; i < 3; ++i)
        queue.Join(Record(answers));
    if (end == QLatin1String("fail"))
        queue.Fail(CaptureResult::Failed(CaptureResult::kSnapFailed));
    else if (end == QLatin1String("refuse"))
        queue.Fail(CaptureResult::Refused());
    else
        queue.SetPicture(QImage());
    QTRY_COMPARE(answers.size(), std::size_t(3));
    for (const Answered& answer : answers) {
        QVERIFY(answer.result.kind == kind);
        QCOMPARE(answer.result.reason, reason);
    }
    QVERIFY(queue.Join([](const CaptureResult&) {}));
}

void tst_GrabQueue::answersWaitForTheTransports_data()
{
    QTest::addColumn<int>("drainAfterMs"); // -1: never
    QTest::newRow("room at once") << 0;
    QTest::newRow("room after a while") << 300;
    QTest::newRow("never room") << -1;
}

void tst_GrabQueue::answersWaitForTheTransports()
{
    QFETCH(int, drainAfterMs);
    const qint64 full = GrabQueue::kMaxUnsentBeforeAnswer + 1;
    m_nUnsent = drainAfterMs == 0 ? 0 : full;
    GrabQueue queue([this] { return m_nUnsent; });
    if (drainAfterMs > 0)
        QTimer::singleShot(drainAfterMs, this, [this] { m_nUnsent = 0; });
    std::vector<Answered> answers;
    const qint64 start = m_clock.elapsed();
    queue.Join(Record(answers));
    queue.SetPicture(Picture());
    QTRY_COMPARE_WITH_TIMEOUT(answers.size(), std::size_t(1), 30000);
    QVERIFY(answers.front().result.kind == CaptureResult::Kind::Taken);
    // Held while the transports were full, up to the bound.
    if (drainAfterMs > 0)
        QCOMPARE(answers.front().unsent, qint64(0));
    if (drainAfterMs < 0)
        QVERIFY(answers.front().atMs - start >= GrabQueue::kMaxAnswerWaitMs);
}

QTEST_MAIN(tst_GrabQueue)
#include "tst_GrabQueue.moc"
