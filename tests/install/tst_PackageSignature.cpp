#include "install/PackageSignature.h"
#include "tests/support/VendorKey.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

// The signature check against keys and signatures made with the openssl commands the README
// gives vendors, run here as written there.
namespace {

using PackageSignature::Verdict;

QByteArray Sha512(const QByteArray& _baData)
{
    return QCryptographicHash::hash(_baData, QCryptographicHash::Sha512);
}

} // namespace

Q_DECLARE_METATYPE(PackageSignature::Verdict)

class tst_PackageSignature : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void verdicts_data();
    void verdicts();
    void publicKeyForms_data();
    void publicKeyForms();

private:
    QTemporaryDir m_dir;
    QByteArray m_baPackage;
    QString m_qstrKey;
    QString m_qstrOtherKey;
    QString m_qstrSignature;
};

void tst_PackageSignature::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_baPackage = QByteArray(300000, 'p');
    for (int i = 0; i < m_baPackage.size(); ++i)
        m_baPackage[i] = static_cast<char>(i * 13 + (i >> 8));
    const VendorKey key(m_dir.path(), QStringLiteral("key"));
    m_qstrKey = key.PublicKey();
    m_qstrOtherKey = VendorKey(m_dir.path(), QStringLiteral("other")).PublicKey();
    m_qstrSignature = key.Sign(m_baPackage);
    QCOMPARE(m_qstrKey.size(), 44);
    QCOMPARE(m_qstrSignature.size(), 88);
}

void tst_PackageSignature::verdicts_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("signature");
    QTest::addColumn<bool>("samePackage");
    QTest::addColumn<Verdict>("form");
    QTest::addColumn<Verdict>("verdict");
    const QString flipped = [this] {
        QByteArray raw = QByteArray::fromBase64(m_qstrSignature.toLatin1());
        raw[10] = static_cast<char>(raw[10] ^ 1);
        return QString::fromLatin1(raw.toBase64());
    }();
    QTest::newRow("valid") << m_qstrKey << m_qstrSignature << true << Verdict::Valid << Verdict::Valid;
    QTest::newRow("valid, padding left out, blanks around")
        << "  " + m_qstrKey.chopped(1) + "\n"
        << " " + m_qstrSignature.chopped(2) << true << Verdict::Valid << Verdict::Valid;
    QTest::newRow("another package") << m_qstrKey << m_qstrSignature << false << Verdict::Valid
                                     << Verdict::SignatureWrong;
    QTest::newRow("another key") << m_qstrOtherKey << m_qstrSignature << true << Verdict::Valid
                                 << Verdict::SignatureWrong;
    QTest::newRow("one bit changed") << m_qstrKey << flipped << true << Verdict::Valid
                                     << Verdict::SignatureWrong;
    QTest::newRow("missing") << m_qstrKey << QString() << true << Verdict::SignatureMissing
                             << Verdict::SignatureMissing;
    QTest::newRow("blank") << m_qstrKey << "   " << true << Verdict::SignatureMissing
                           << Verdict::SignatureMissing;
    QTest::newRow("not Base64") << m_qstrKey << "this is not base64!" << true << Verdict::SignatureNotBase64
                                << Verdict::SignatureNotBase64;
    QTest::newRow("Base64 with a blank inside")
        << m_qstrKey << m_qstrSignature.left(40) + " " + m_qstrSignature.mid(40) << true
        << Verdict::SignatureNotBase64 << Verdict::SignatureNotBase64;
    QTest::newRow("URL alphabet") << m_qstrKey << "-_" + m_qstrSignature.mid(2) << true
                                  << Verdict::SignatureNotBase64 << Verdict::SignatureNotBase64;
    QTest::newRow("too short") << m_qstrKey << QString::fromLatin1(QByteArray(63, 's').toBase64()) << true
                               << Verdict::SignatureWrong << Verdict::SignatureWrong;
    QTest::newRow("key of 31 bytes") << QString::fromLatin1(QByteArray(31, 'k').toBase64()) << m_qstrSignature
                                     << true << Verdict::KeyInvalid << Verdict::KeyInvalid;
    QTest::newRow("key not Base64") << "not-a-key" << m_qstrSignature << true << Verdict::KeyInvalid
                                    << Verdict::KeyInvalid;
    QTest::newRow("PEM instead of the raw key") << "-----BEGIN PUBLIC KEY-----" << m_qstrSignature << true
                                                << Verdict::KeyInvalid << Verdict::KeyInvalid;
}

void tst_PackageSignature::verdicts()
{
    QFETCH(QString, key);
    QFETCH(QString, signature);
    QFETCH(bool, samePackage);
    QFETCH(Verdict, form);
    QFETCH(Verdict, verdict);
    QCOMPARE(PackageSignature::CheckForm(key, signature), form);
    const QByteArray digest = Sha512(samePackage ? m_baPackage : m_baPackage + "x");
    QCOMPARE(PackageSignature::Verify(key, signature, digest), verdict);
    // The digest is what is signed, never the package itself or a digest of another size.
    QVERIFY(PackageSignature::Verify(key, signature, m_baPackage) != Verdict::Valid);
    QVERIFY(PackageSignature::Verify(key, signature, digest.left(32)) != Verdict::Valid);
}

void tst_PackageSignature::publicKeyForms_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("usable");
    QTest::newRow("made by openssl") << m_qstrKey << true;
    QTest::newRow("32 zero bytes") << QString::fromLatin1(QByteArray(32, '\0').toBase64()) << true;
    QTest::newRow("33 bytes") << QString::fromLatin1(QByteArray(33, 'k').toBase64()) << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("hex of 32 bytes") << QString::fromLatin1(QByteArray(32, 'k').toHex()) << false;
    QTest::newRow("non-ASCII") << QString::fromUtf8("密钥") + m_qstrKey << false;
}

void tst_PackageSignature::publicKeyForms()
{
    QFETCH(QString, key);
    QFETCH(bool, usable);
    QCOMPARE(PackageSignature::IsUsablePublicKey(key), usable);
}

QTEST_GUILESS_MAIN(tst_PackageSignature)
#include "tst_PackageSignature.moc"
