// libcrypto.so.<major>, found by the dynamic loader.
#include "install/LibCrypto.h"

QString LibCrypto::LibraryName()
{
    return QStringLiteral("crypto");
}
