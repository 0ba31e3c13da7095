// libcrypto-<major>-x64.dll, beside the program (QLibrary ignores the version number on Windows).
#include "install/LibCrypto.h"

#include <openssl/opensslv.h>

QString LibCrypto::LibraryName()
{
    return QStringLiteral("libcrypto-%1-x64").arg(OPENSSL_VERSION_MAJOR);
}
