#pragma once

#include <QJsonObject>

// Number keys of the notice bodies: any JSON number is taken, one with a fraction (or beyond
// 32 bits) reads as 0; another type leaves the value and logs the line given, if any.
namespace NoticeJson {

bool TruncatedInt(const QJsonObject& _jsonObj, const char* _szKey, int& _nOut,
                  const char* _szMissingLog = nullptr);

} // namespace NoticeJson
