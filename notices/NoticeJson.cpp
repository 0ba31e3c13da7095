#include "notices/NoticeJson.h"
#include "core/LogCategories.h"

#include "core/JsonReader.h"

#include <QDebug>

namespace NoticeJson {

bool TruncatedInt(const QJsonObject& _jsonObj, const char* _szKey, int& _nOut, const char* _szMissingLog)
{
    if (!_jsonObj.value(QLatin1String(_szKey)).isDouble()) {
        if (_szMissingLog)
            qCCritical(lcNotices) << _szMissingLog;
        return false;
    }
    int value = 0;
    _nOut = JsonReader(_jsonObj).Integer(_szKey, value) ? value : 0;
    return true;
}

} // namespace NoticeJson
