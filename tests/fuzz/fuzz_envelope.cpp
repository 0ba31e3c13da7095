// The envelope parser and writer: whatever is parsed, written and parsed again is the same.
#include "core/JsonCommand.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _pData, size_t _nSize)
{
    FuzzQuietQt();
    JsonCommand first;
    first.LoadFromString(QByteArray(reinterpret_cast<const char*>(_pData), static_cast<int>(_nSize)));
    const QByteArray text = first.ToString();
    JsonCommand second;
    second.LoadFromString(text);
    FUZZ_CHECK(second == first);
    FUZZ_CHECK(second.ToString() == text);
    return 0;
}
