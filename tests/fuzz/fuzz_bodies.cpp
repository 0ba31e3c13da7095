// Every body parser, chosen by the first byte, on the rest of the input as text.
#include "install/CommandInstallToolBody.h"
#include "system/CommandSystemInfoToolBody.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _pData, size_t _nSize)
{
    FuzzQuietQt();
    if (_nSize == 0)
        return 0;
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(_pData) + 1, static_cast<int>(_nSize - 1));
    if (_pData[0] & 1) {
        CommandInstallToolBody body;
        body.LoadFromString(text);
        // What it writes it reads back the same way.
        CommandInstallToolBody again;
        again.LoadFromString(body.ToString());
        FUZZ_CHECK(again.ToString() == body.ToString());
    } else {
        CommandSystemInfoToolBody body;
        body.LoadFromString(text);
    }
    return 0;
}
