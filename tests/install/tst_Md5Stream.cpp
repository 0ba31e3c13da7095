#include "install/Md5Stream.h"

#include <QtTest>

#include <chrono>
#include <future>

class tst_Md5Stream : public QObject
{
    Q_OBJECT
private slots:
    void matchesWholeHash_data();
    void matchesWholeHash();
    void dropsQueueWhenDestroyedEarly();
};

void tst_Md5Stream::matchesWholeHash_data()
{
    QTest::addColumn<int>("chunkBytes");
    QTest::addColumn<int>("chunks");
    QTest::newRow("nothing") << 1 << 0;
    QTest::newRow("one byte") << 1 << 1;
    QTest::newRow("many small") << 1000 << 3000;
    // Far more than the queue holds: Add has to wait for the hashing thread.
    QTest::newRow("past the queue bound")
        << 1024 * 1024 << int(3 * Md5Stream::kMaxQueuedBytes / (1024 * 1024));
}

void tst_Md5Stream::matchesWholeHash()
{
    QFETCH(int, chunkBytes);
    QFETCH(int, chunks);
    QCryptographicHash whole(QCryptographicHash::Md5);
    Md5Stream stream;
    for (int i = 0; i < chunks; ++i) {
        const QByteArray chunk(chunkBytes, static_cast<char>('a' + i % 26));
        whole.addData(chunk);
        stream.Add(chunk);
        stream.Add(QByteArray());
    }
    std::promise<QString> digest;
    stream.Finish([&digest](const QString& _qstrDigest) { digest.set_value(_qstrDigest); });
    auto result = digest.get_future();
    QVERIFY(result.wait_for(std::chrono::seconds(60)) == std::future_status::ready);
    QCOMPARE(result.get(), QString::fromLatin1(whole.result().toHex().toUpper()));
}

void tst_Md5Stream::dropsQueueWhenDestroyedEarly()
{
    // A stopped download destroys its stream with work still queued; that must neither hang
    // nor touch freed data.
    for (int i = 0; i < 20; ++i) {
        Md5Stream stream;
        for (int k = 0; k < 8; ++k)
            stream.Add(QByteArray(1024 * 1024, 'x'));
    }
}

QTEST_GUILESS_MAIN(tst_Md5Stream)
#include "tst_Md5Stream.moc"
