// The ZeroMQ length frame: an accepted length fits an int (the receiver sizes its buffer from it;
// a negative one means no body).
#include "core/ZmqServer.h"
#include "tests/fuzz/FuzzSupport.h"

#include <climits>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _pData, size_t _nSize)
{
    FuzzQuietQt();
    long long length = -1;
    if (ZmqServer::ParseLength(QByteArray(reinterpret_cast<const char*>(_pData), static_cast<int>(_nSize)),
                               length))
        FUZZ_CHECK(length >= INT_MIN && length <= INT_MAX);
    return 0;
}
