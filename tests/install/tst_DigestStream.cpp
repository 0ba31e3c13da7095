#include "install/DigestStream.h"

#include <QtTest>

#include <chrono>
#include <future>

class tst_DigestStream : public QObject
{
    Q_OBJECT
private slots:
    // First: it looks at the process before any stream was made.
    void libcryptoOpenedByTheFirstStream();
    void matchesWholeHash_data();
    void matchesWholeHash();
    void dropsQueueWhenDestroyedEarly();
};

static bool LibcryptoMapped()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("/libcrypto.so");
}

void tst_DigestStream::libcryptoOpenedByTheFirstStream()
{
    QVERIFY(!LibcryptoMapped());
    DigestStream stream;
    QVERIFY(LibcryptoMapped());
}

void tst_DigestStream::matchesWholeHash_data()
{
    QTest::addColumn<int>("chunkBytes");
    QTest::addColumn<int>("chunks");
    QTest::addColumn<bool>("sha512");
    for (const bool sha512 : {false, true}) {
        const char* name = sha512 ? "SHA-512" : "MD5";
        QTest::addRow("%s, nothing", name) << 1 << 0 << sha512;
        QTest::addRow("%s, one byte", name) << 1 << 1 << sha512;
        QTest::addRow("%s, many small", name) << 1000 << 3000 << sha512;
        // Far more than the queue holds: Add has to wait for the hashing thread.
        QTest::addRow("%s, past the queue bound", name)
            << 1024 * 1024 << int(3 * DigestStream::kMaxQueuedBytes / (1024 * 1024)) << sha512;
    }
}

void tst_DigestStream::matchesWholeHash()
{
    QFETCH(int, chunkBytes);
    QFETCH(int, chunks);
    QFETCH(bool, sha512);
    QCryptographicHash whole(sha512 ? QCryptographicHash::Sha512 : QCryptographicHash::Md5);
    DigestStream stream(sha512 ? DigestStream::Algorithm::Sha512 : DigestStream::Algorithm::Md5);
    for (int i = 0; i < chunks; ++i) {
        const QByteArray chunk(chunkBytes, static_cast<char>('a' + i % 26));
        whole.addData(chunk);
        stream.Add(chunk);
        stream.Add(QByteArray());
    }
    std::promise<QByteArray> digest;
    stream.Finish([&digest](const QByteArray& _baDigest) { digest.set_value(_baDigest); });
    auto result = digest.get_future();
    QVERIFY(result.wait_for(std::chrono::seconds(60)) == std::future_status::ready);
    QCOMPARE(result.get().toHex(), whole.result().toHex());
}

void tst_DigestStream::dropsQueueWhenDestroyedEarly()
{
    // A stopped download destroys its stream with work still queued; that must neither hang
    // nor touch freed data.
    for (int i = 0; i < 20; ++i) {
        DigestStream stream(i % 2 ? DigestStream::Algorithm::Sha512 : DigestStream::Algorithm::Md5);
        for (int k = 0; k < 8; ++k)
            stream.Add(QByteArray(1024 * 1024, 'x'));
    }
}

QTEST_GUILESS_MAIN(tst_DigestStream)
#include "tst_DigestStream.moc"
