// The upgrade request as any local program or web page may send it: whatever the bytes, the
// answer is one well-formed HTTP head, nothing of the request reaches it but the accept key, and
// an upgrade consumes exactly the request.
#include "core/WebSocketHandshake.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _pData, size_t _nSize)
{
    FuzzQuietQt();
    using Kind = WebSocketHandshake::Verdict::Kind;
    const QByteArray received(reinterpret_cast<const char*>(_pData), static_cast<int>(_nSize));
    const WebSocketHandshake::Verdict verdict =
        WebSocketHandshake::Check(received, 8080, {QStringLiteral("http://localhost:8080")});
    const QByteArray& response = verdict.response;
    if (verdict.kind == Kind::Incomplete) {
        FUZZ_CHECK(response.isEmpty());
        FUZZ_CHECK(received.size() <= WebSocketHandshake::kMaxRequestBytes + 3);
        return 0;
    }
    // One head, ended once: a request cannot add lines to the answer.
    FUZZ_CHECK(response.startsWith("HTTP/1.1 "));
    FUZZ_CHECK(response.endsWith("\r\n\r\n"));
    FUZZ_CHECK(response.indexOf("\r\n\r\n") == response.size() - 4);
    FUZZ_CHECK(response.count('\n') == response.count("\r\n"));
    if (verdict.kind == Kind::Upgrade) {
        FUZZ_CHECK(verdict.requestBytes >= 4 && verdict.requestBytes <= received.size());
        FUZZ_CHECK(received.left(verdict.requestBytes).indexOf("\r\n\r\n") == verdict.requestBytes - 4);
        FUZZ_CHECK(response.startsWith("HTTP/1.1 101 "));
        const int at = response.indexOf("Sec-WebSocket-Accept: ");
        FUZZ_CHECK(at > 0 && response.size() - at == 22 + 28 + 4);
    } else {
        FUZZ_CHECK(response.at(9) == '4');
        FUZZ_CHECK(verdict.requestBytes == 0);
        FUZZ_CHECK(!verdict.reason.isEmpty());
    }
    return 0;
}
