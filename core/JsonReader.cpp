#include "core/JsonReader.h"
#include "core/LogCategories.h"

#include "core/JsonText.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

bool JsonReader::Missing(const char* _szMissingLog) const
{
    if (_szMissingLog)
        qCCritical(lcCore) << _szMissingLog;
    return false;
}

bool JsonReader::String(const char* _szKey, QString& _qstrOut, const char* _szMissingLog) const
{
    const QJsonValue v = m_jsonObj.value(QLatin1String(_szKey));
    if (!v.isString())
        return Missing(_szMissingLog);
    _qstrOut = v.toString();
    return true;
}

bool JsonReader::Bool(const char* _szKey, bool& _blOut, const char* _szMissingLog) const
{
    const QJsonValue v = m_jsonObj.value(QLatin1String(_szKey));
    if (!v.isBool())
        return Missing(_szMissingLog);
    _blOut = v.toBool();
    return true;
}

bool JsonReader::Integer(const char* _szKey, qint64& _nOut, const char* _szMissingLog) const
{
    const QJsonValue v = m_jsonObj.value(QLatin1String(_szKey));
    if (!v.isDouble())
        return Missing(_szMissingLog);
    const double d = v.toDouble();
    // 2^63 itself is out of range; anything from -2^63 up to just below it converts exactly.
    if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
        return Missing(_szMissingLog);
    _nOut = static_cast<qint64>(d);
    return true;
}

bool JsonReader::Integer(const char* _szKey, int& _nOut, const char* _szMissingLog) const
{
    qint64 n = 0;
    if (!Integer(_szKey, n, nullptr) || n < INT_MIN || n > INT_MAX)
        return Missing(_szMissingLog);
    _nOut = static_cast<int>(n);
    return true;
}

bool JsonReader::Double(const char* _szKey, double& _dOut, const char* _szMissingLog) const
{
    const QJsonValue v = m_jsonObj.value(QLatin1String(_szKey));
    if (!v.isDouble())
        return Missing(_szMissingLog);
    _dOut = v.toDouble();
    return true;
}

bool JsonReader::StringList(const char* _szKey, QStringList& _listOut, const char* _szMissingLog) const
{
    const QJsonValue v = m_jsonObj.value(QLatin1String(_szKey));
    if (!v.isArray())
        return Missing(_szMissingLog);
    const QJsonArray arr = v.toArray();
    _listOut.clear();
    _listOut.reserve(arr.size());
    for (const QJsonValue& item : arr)
        _listOut.append(item.toString());
    return true;
}

bool JsonReader::Object(const char* _szKey, QJsonObject& _objOut, const char* _szMissingLog) const
{
    const QJsonValue v = m_jsonObj.value(QLatin1String(_szKey));
    if (!v.isObject())
        return Missing(_szMissingLog);
    _objOut = v.toObject();
    return true;
}

std::optional<QJsonObject> JsonReader::ParseObject(const QByteArray& _baText, const char* _szLogPrefix)
{
    QJsonParseError err;
    const QJsonDocument doc = JsonText::Parse(_baText, &err);
    if (err.error != QJsonParseError::NoError) {
        qCCritical(lcCore) << _szLogPrefix << err.errorString();
        return std::nullopt;
    }
    if (!doc.isObject()) {
        qCCritical(lcCore).noquote() << QLatin1String(_szLogPrefix) + QLatin1String("qjsonOdc is not object");
        return std::nullopt;
    }
    return doc.object();
}
