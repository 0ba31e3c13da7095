#include "install/LibCrypto.h"
#include "core/LogCategories.h"

#include <QDebug>
#include <QLibrary>

#include <openssl/opensslv.h>

namespace {

template <class Function> bool Resolve(QLibrary& _library, const char* _szName, Function& _function)
{
    _function = reinterpret_cast<Function>(_library.resolve(_szName));
    if (!_function)
        qCCritical(lcInstall) << "LibCrypto:function missing:" << _szName;
    return _function != nullptr;
}

const LibCrypto* Load()
{
    static LibCrypto s_crypto;
    // The soname the headers were written for; QLibrary leaves it loaded when it goes.
    QLibrary library(LibCrypto::LibraryName(), OPENSSL_VERSION_MAJOR);
    if (!library.load()) {
        qCCritical(lcInstall).noquote()
            << "LibCrypto:libcrypto cannot be loaded, digests and signature checks fail:"
            << library.errorString();
        return nullptr;
    }
    LibCrypto& c = s_crypto;
    const bool complete = Resolve(library, "EVP_MD_CTX_new", c.MdCtxNew) &&
                          Resolve(library, "EVP_MD_CTX_free", c.MdCtxFree) &&
                          Resolve(library, "EVP_md5", c.Md5) && Resolve(library, "EVP_sha512", c.Sha512) &&
                          Resolve(library, "EVP_DigestInit_ex", c.DigestInit) &&
                          Resolve(library, "EVP_DigestUpdate", c.DigestUpdate) &&
                          Resolve(library, "EVP_DigestFinal_ex", c.DigestFinal) &&
                          Resolve(library, "EVP_PKEY_new_raw_public_key", c.PkeyNewRawPublicKey) &&
                          Resolve(library, "EVP_PKEY_free", c.PkeyFree) &&
                          Resolve(library, "EVP_DigestVerifyInit", c.DigestVerifyInit) &&
                          Resolve(library, "EVP_DigestVerify", c.DigestVerify);
    return complete ? &s_crypto : nullptr;
}

} // namespace

const LibCrypto* LibCrypto::Get()
{
    static const LibCrypto* const s_pLoaded = Load();
    return s_pLoaded;
}
