#pragma once

#include "core/JsonCommand.h"

#include <QByteArray>

// Most envelopes arrive exactly as JsonCommand::ToString writes them (clients use the same
// compact form, keys in order). Such a text is read here in one pass over its UTF-8 bytes, with
// no JSON document and no UTF-16 detour, and since writing the envelope again would give back
// the same bytes, the hub relays them as they came.
namespace CanonicalEnvelope {

// True when _baText is exactly what _cmd.ToString() gives for the envelope it describes; _cmd then
// holds that envelope. False for any other text (also valid JSON in another form): the caller
// parses it in full, with every check and log line of the general path.
bool Read(const QByteArray& _baText, JsonCommand& _cmd);

} // namespace CanonicalEnvelope
