#pragma once

#include <QString>

#include <openssl/evp.h>

// OpenSSL's libcrypto, opened on the first digest or signature check rather than linked: an idle
// service never uses it, and a linked copy keeps its relocations and tables (about 1.4 MiB)
// resident from the start. The functions keep OpenSSL's own signatures.
struct LibCrypto
{
    // The opened library with every function below; nullptr (logged once) when it cannot be
    // opened or lacks one of them. Thread-safe; never unloaded.
    static const LibCrypto* Get();
    // The library's name as QLibrary takes it with the major version: the soname's stem on Linux,
    // the DLL's name on Windows.
    static QString LibraryName();

    decltype(&::EVP_MD_CTX_new) MdCtxNew = nullptr;
    decltype(&::EVP_MD_CTX_free) MdCtxFree = nullptr;
    decltype(&::EVP_md5) Md5 = nullptr;
    decltype(&::EVP_sha512) Sha512 = nullptr;
    decltype(&::EVP_DigestInit_ex) DigestInit = nullptr;
    decltype(&::EVP_DigestUpdate) DigestUpdate = nullptr;
    decltype(&::EVP_DigestFinal_ex) DigestFinal = nullptr;
    decltype(&::EVP_PKEY_new_raw_public_key) PkeyNewRawPublicKey = nullptr;
    decltype(&::EVP_PKEY_free) PkeyFree = nullptr;
    decltype(&::EVP_DigestVerifyInit) DigestVerifyInit = nullptr;
    decltype(&::EVP_DigestVerify) DigestVerify = nullptr;
};
