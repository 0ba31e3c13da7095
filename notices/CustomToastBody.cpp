#include "notices/CustomToastBody.h"

#include "core/JsonReader.h"
#include "core/JsonText.h"
#include "notices/NoticeJson.h"

#include <QJsonDocument>
#include <QJsonObject>

void CustomToastBody::LoadFromString(const QString& _qstrText)
{
    const QJsonDocument doc = JsonText::Parse(_qstrText.toUtf8());
    if (!doc.isObject())
        return;
    const QJsonObject obj = doc.object();
    JsonReader reader(obj);
    if (reader.String("message", message))
        message.truncate(kMaxMessageChars);
    NoticeJson::TruncatedInt(obj, "timeRemain", timeRemain);
    // A negative time would never start the timer and leave the toast up for good.
    timeRemain = qMax(0, timeRemain);
    reader.String("position", position);
}
