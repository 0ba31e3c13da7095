// The WebSocket frame reader as the service uses it on a client's bytes, the input arriving in
// pieces whose size the first byte sets, so frames are also cut at every point. What it reads
// must not depend on where the bytes were cut.
#include "core/WebSocketFraming.h"
#include "tests/fuzz/FuzzSupport.h"

#include <QList>

namespace {

constexpr qint64 kMaxMessageBytes = 64 * 1024;

QList<WebSocketFraming::Item> ReadAll(const QByteArray& _baBytes, int _nPiece)
{
    using Kind = WebSocketFraming::Item::Kind;
    WebSocketFraming framing(true, kMaxMessageBytes);
    QList<WebSocketFraming::Item> items;
    bool stopped = false;
    for (int at = 0; at < _baBytes.size(); at += _nPiece) {
        framing.Append(_baBytes.mid(at, _nPiece));
        for (WebSocketFraming::Item item = framing.Next(); item.kind != Kind::None; item = framing.Next()) {
            // Nothing follows a close or a failure.
            FUZZ_CHECK(!stopped);
            stopped = item.kind == Kind::Close || item.kind == Kind::Failure;
            if (item.kind == Kind::Text) {
                FUZZ_CHECK(WebSocketFraming::IsValidUtf8(item.payload));
                FUZZ_CHECK(item.payload.size() <= kMaxMessageBytes);
            } else if (item.kind == Kind::Ping) {
                FUZZ_CHECK(item.payload.size() <= 125);
            } else if (item.kind == Kind::Close) {
                FUZZ_CHECK(WebSocketFraming::IsValidUtf8(item.payload) && item.payload.size() <= 123);
                FUZZ_CHECK(item.code >= 1000 && item.code <= 4999);
            } else {
                FUZZ_CHECK(item.code == WebSocketFraming::kCloseProtocolError ||
                           item.code == WebSocketFraming::kCloseInvalidData ||
                           item.code == WebSocketFraming::kCloseTooBig);
            }
            items.append(item);
        }
    }
    return items;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _pData, size_t _nSize)
{
    FuzzQuietQt();
    if (_nSize == 0)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(_pData) + 1, static_cast<int>(_nSize - 1));
    const QList<WebSocketFraming::Item> pieces = ReadAll(bytes, 1 + _pData[0] % 32);
    const QList<WebSocketFraming::Item> whole = ReadAll(bytes, qMax(1, bytes.size()));
    FUZZ_CHECK(pieces.size() == whole.size());
    for (int i = 0; i < pieces.size(); ++i)
        FUZZ_CHECK(pieces[i].kind == whole[i].kind && pieces[i].code == whole[i].code &&
                   pieces[i].payload == whole[i].payload);
    return 0;
}
