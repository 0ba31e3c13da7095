#pragma once

#include <QByteArray>
#include <QString>

// The vendor's signature of an update package: Ed25519 (OpenSSL's EVP) over the 64 raw bytes of
// the package's SHA-512 digest, as `openssl dgst -sha512 -binary pkg.zip | openssl pkeyutl -sign
// -inkey key.pem -rawin` makes it. The public key is Base64 of the raw 32-byte key, the
// signature Base64 of the raw 64-byte signature.
namespace PackageSignature {

enum class Verdict {
    Valid,
    KeyInvalid,         // the configured key is not Base64 of 32 bytes
    SignatureMissing,   // no signature given
    SignatureNotBase64, // not Base64 text
    SignatureWrong,     // not 64 bytes, or not made by the key's owner over this digest
};

// True for Base64 (standard alphabet, padding optional) of exactly 32 bytes.
bool IsUsablePublicKey(const QString& _qstrBase64);

// What rules a package out before a byte of it is fetched: the key or the signature's form.
// Valid means only that the signature may still match.
Verdict CheckForm(const QString& _qstrPublicKey, const QString& _qstrSignature);

// The full check once the package's SHA-512 digest (64 raw bytes) is known.
Verdict Verify(const QString& _qstrPublicKey, const QString& _qstrSignature, const QByteArray& _baSha512);

} // namespace PackageSignature
