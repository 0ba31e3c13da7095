// The envelope parser and writer: whatever is parsed, written and parsed again is the same, and
// the hub's one-pass reader agrees with the full parser on every text it accepts.
#include "core/CanonicalEnvelope.h"
#include "core/JsonCommand.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _pData, size_t _nSize)
{
    FuzzQuietQt();
    const QByteArray input(reinterpret_cast<const char*>(_pData), static_cast<int>(_nSize));
    JsonCommand first;
    first.LoadFromString(input);
    const QByteArray text = first.ToString();
    JsonCommand second;
    second.LoadFromString(text);
    FUZZ_CHECK(second == first);
    FUZZ_CHECK(second.ToString() == text);
    // Relayed as it came only when writing it again gives back the same bytes.
    JsonCommand quick;
    if (CanonicalEnvelope::Read(input, quick)) {
        FUZZ_CHECK(quick == first);
        FUZZ_CHECK(text == input);
    }
    JsonCommand again;
    if (CanonicalEnvelope::Read(text, again))
        FUZZ_CHECK(again == first);
    return 0;
}
