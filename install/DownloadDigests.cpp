#include "install/DownloadDigests.h"
#include "core/LogCategories.h"

#include "core/FillPlaceholders.h"
#include "install/PackageSignature.h"

#include <QCoreApplication>
#include <QDebug>

namespace {

const char* const kStageMd5 = QT_TRANSLATE_NOOP("Downloader", "MD5_FAILED_CONTACT_US");
const char* const kStageSignature = QT_TRANSLATE_NOOP("Downloader", "SIGNATURE_FAILED_CONTACT_US");

QString Tr(const char* _szKey)
{
    return QCoreApplication::translate("Downloader", _szKey);
}

// The detail text of a failed signature check.
const char* SignatureDetail(PackageSignature::Verdict _verdict)
{
    switch (_verdict) {
    case PackageSignature::Verdict::KeyInvalid:
        return QT_TRANSLATE_NOOP("Downloader", "PUBLIC_KEY_INVALID");
    case PackageSignature::Verdict::SignatureMissing:
        return QT_TRANSLATE_NOOP("Downloader", "SIGNATURE_MISSING");
    case PackageSignature::Verdict::SignatureNotBase64:
        return QT_TRANSLATE_NOOP("Downloader", "SIGNATURE_NOT_BASE64");
    default:
        return QT_TRANSLATE_NOOP("Downloader", "SIGNATURE_MISMATCH");
    }
}

} // namespace

void DownloadDigests::RequireSignature(const QString& _qstrPublicKey, const QString& _qstrSignature)
{
    m_qstrPublicKey = _qstrPublicKey.trimmed();
    m_qstrSignature = _qstrSignature.trimmed();
}

QString DownloadDigests::CheckForm() const
{
    if (m_qstrPublicKey.isEmpty())
        return QString();
    const PackageSignature::Verdict form = PackageSignature::CheckForm(m_qstrPublicKey, m_qstrSignature);
    if (form == PackageSignature::Verdict::Valid)
        return QString();
    return Tr(kStageSignature) + QLatin1Char('|') + Tr(SignatureDetail(form));
}

void DownloadDigests::Start(const QString& _qstrMd5, const std::function<void()>& _fnSpace)
{
    Reset();
    m_qstrMd5 = _qstrMd5;
    // Posted events die with the owner, so the hashing threads may post at any time.
    const auto space = [owner = m_pOwner, _fnSpace] {
        QMetaObject::invokeMethod(owner, _fnSpace, Qt::QueuedConnection);
    };
    if (!m_qstrMd5.isEmpty()) {
        m_pMd5 = std::make_unique<DigestStream>(DigestStream::Algorithm::Md5);
        m_pMd5->SetSpaceCallback(space);
    }
    if (!m_qstrPublicKey.isEmpty()) {
        m_pSha512 = std::make_unique<DigestStream>(DigestStream::Algorithm::Sha512);
        m_pSha512->SetSpaceCallback(space);
    }
}

void DownloadDigests::Add(const QByteArray& _baData)
{
    if (m_pMd5)
        m_pMd5->Add(_baData);
    if (m_pSha512)
        m_pSha512->Add(_baData);
}

bool DownloadDigests::Full()
{
    // Both are asked, so each one that is full calls back once it has room.
    const bool md5 = m_pMd5 && m_pMd5->Full();
    const bool sha512 = m_pSha512 && m_pSha512->Full();
    return md5 || sha512;
}

void DownloadDigests::Reset()
{
    m_pMd5.reset();
    m_pSha512.reset();
    m_fnChecked = nullptr;
    m_nPending = 0;
}

void DownloadDigests::Finish(const QString& _qstrFilePath, std::function<void(const QString&)> _fnChecked)
{
    m_qstrFilePath = _qstrFilePath;
    m_fnChecked = std::move(_fnChecked);
    m_baMd5.clear();
    m_baSha512.clear();
    m_nPending = (m_pMd5 ? 1 : 0) + (m_pSha512 ? 1 : 0);
    if (m_nPending == 0) {
        DigestReady();
        return;
    }
    // What is left to hash is hashed on the streams' threads; the owner's thread only hears the
    // digests. The digest crosses under a lock of ours, and the call that announces it carries
    // nothing.
    const auto finish = [this](DigestStream& _stream, QByteArray DownloadDigests::*_pDigest) {
        _stream.Finish([this, _pDigest](const QByteArray& _baDigest) {
            {
                std::lock_guard<std::mutex> lock(m_mutexDigests);
                this->*_pDigest = _baDigest;
            }
            QMetaObject::invokeMethod(
                m_pOwner, [this] { DigestReady(); }, Qt::QueuedConnection);
        });
    };
    if (m_pMd5)
        finish(*m_pMd5, &DownloadDigests::m_baMd5);
    if (m_pSha512)
        finish(*m_pSha512, &DownloadDigests::m_baSha512);
}

void DownloadDigests::DigestReady()
{
    {
        std::lock_guard<std::mutex> lock(m_mutexDigests);
    }
    if (m_nPending > 0 && --m_nPending > 0)
        return;
    // A digest of streams dropped since finds no one waiting.
    const std::function<void(const QString&)> checked = std::move(m_fnChecked);
    Reset();
    if (checked)
        checked(Check());
}

QString DownloadDigests::Check() const
{
    const QString computed = QString::fromLatin1(m_baMd5.toHex().toUpper());
    if (!m_qstrMd5.isEmpty() && computed.compare(m_qstrMd5, Qt::CaseInsensitive) != 0)
        return Tr(kStageMd5) + QLatin1Char('|') +
               FillPlaceholders(Tr(QT_TRANSLATE_NOOP("Downloader", "CHECK_SUM_FAILED")), m_qstrFilePath,
                                computed, m_qstrMd5);
    if (!m_qstrPublicKey.isEmpty()) {
        const PackageSignature::Verdict verdict =
            PackageSignature::Verify(m_qstrPublicKey, m_qstrSignature, m_baSha512);
        if (verdict != PackageSignature::Verdict::Valid)
            return Tr(kStageSignature) + QLatin1Char('|') +
                   FillPlaceholders(Tr(SignatureDetail(verdict)), m_qstrFilePath);
        qCWarning(lcInstall).noquote() << "Downloader::CheckDigest:signature valid:" + m_qstrFilePath;
    }
    return QString();
}
