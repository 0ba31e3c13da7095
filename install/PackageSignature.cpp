#include "install/PackageSignature.h"

#include "install/LibCrypto.h"

#include <memory>
#include <optional>

namespace PackageSignature {

namespace {

constexpr int kKeyBytes = 32;
constexpr int kSignatureBytes = 64;
constexpr int kDigestBytes = 64;

// Strict Base64 (the standard alphabet, padding optional): any other character, inner
// whitespace included, or misplaced padding makes it no Base64.
std::optional<QByteArray> DecodeBase64(const QString& _qstrText)
{
    const QString text = _qstrText.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    for (const QChar ch : text)
        if (ch.unicode() > 0x7f)
            return std::nullopt;
    const QByteArray::FromBase64Result result = QByteArray::fromBase64Encoding(
        text.toLatin1(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    return result.decoded;
}

} // namespace

bool IsUsablePublicKey(const QString& _qstrBase64)
{
    const std::optional<QByteArray> key = DecodeBase64(_qstrBase64);
    return key && key->size() == kKeyBytes;
}

Verdict CheckForm(const QString& _qstrPublicKey, const QString& _qstrSignature)
{
    if (!IsUsablePublicKey(_qstrPublicKey))
        return Verdict::KeyInvalid;
    if (_qstrSignature.trimmed().isEmpty())
        return Verdict::SignatureMissing;
    const std::optional<QByteArray> signature = DecodeBase64(_qstrSignature);
    if (!signature)
        return Verdict::SignatureNotBase64;
    return signature->size() == kSignatureBytes ? Verdict::Valid : Verdict::SignatureWrong;
}

Verdict Verify(const QString& _qstrPublicKey, const QString& _qstrSignature, const QByteArray& _baSha512)
{
    const Verdict form = CheckForm(_qstrPublicKey, _qstrSignature);
    if (form != Verdict::Valid)
        return form;
    if (_baSha512.size() != kDigestBytes)
        return Verdict::SignatureWrong;
    const QByteArray key = *DecodeBase64(_qstrPublicKey);
    const QByteArray signature = *DecodeBase64(_qstrSignature);
    // Without libcrypto nothing can be verified: the package counts as wrongly signed.
    const LibCrypto* crypto = LibCrypto::Get();
    if (!crypto)
        return Verdict::SignatureWrong;
    const std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> pkey(
        crypto->PkeyNewRawPublicKey(EVP_PKEY_ED25519, nullptr,
                                    reinterpret_cast<const unsigned char*>(key.constData()), kKeyBytes),
        crypto->PkeyFree);
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(crypto->MdCtxNew(), crypto->MdCtxFree);
    if (!pkey || !context)
        return Verdict::KeyInvalid;
    // Ed25519 hashes the message itself ("PureEdDSA"): no digest is named, the message is the
    // 64-byte SHA-512 of the package.
    if (crypto->DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
        return Verdict::KeyInvalid;
    const int verified = crypto->DigestVerify(
        context.get(), reinterpret_cast<const unsigned char*>(signature.constData()), kSignatureBytes,
        reinterpret_cast<const unsigned char*>(_baSha512.constData()), kDigestBytes);
    return verified == 1 ? Verdict::Valid : Verdict::SignatureWrong;
}

} // namespace PackageSignature
