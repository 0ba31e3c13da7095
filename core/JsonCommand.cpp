#include "core/JsonCommand.h"

#include "core/JsonReader.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>

void JsonCommand::LoadFromString(const QByteArray& _baText)
{
    const auto obj = JsonReader::ParseObject(_baText, "JsonCommand::LoadFromString:");
    if (obj)
        LoadFromJson(*obj);
}

void JsonCommand::LoadFromJson(const QJsonObject& _jsonObj)
{
    JsonReader r(_jsonObj);
    r.Bool("iscast", iscast, "LoadFromJson:no iscast found!");
    r.Bool("force_reply", force_reply, "LoadFromJson:no force_reply found!");
    r.String("type", type, "LoadFromJson:no type found!");
    r.String("guid", guid);
    r.String("userdata", userdata);
    r.String("command", command, "LoadFromJson:no command found!");
    r.Integer("error_code", error_code);
    r.String("error_string", error_string);
    r.StringList("to", to);
    r.String("from", from);
    r.String("data", data);
}

QJsonObject JsonCommand::ToJson() const
{
    QJsonObject obj;
    obj.insert(QStringLiteral("iscast"), iscast);
    obj.insert(QStringLiteral("force_reply"), force_reply);
    obj.insert(QStringLiteral("type"), type);
    obj.insert(QStringLiteral("to"), QJsonArray::fromStringList(to));
    obj.insert(QStringLiteral("from"), from);
    obj.insert(QStringLiteral("guid"), guid);
    obj.insert(QStringLiteral("userdata"), userdata);
    obj.insert(QStringLiteral("command"), command);
    obj.insert(QStringLiteral("data"), data);
    obj.insert(QStringLiteral("error_code"), error_code);
    obj.insert(QStringLiteral("error_string"), error_string);
    return obj;
}

QByteArray JsonCommand::ToString() const
{
    return QJsonDocument(ToJson()).toJson(QJsonDocument::Compact);
}

bool JsonCommand::operator==(const JsonCommand& other) const
{
    return iscast == other.iscast && force_reply == other.force_reply && type == other.type &&
           to == other.to && from == other.from && guid == other.guid && userdata == other.userdata &&
           command == other.command && data == other.data && error_code == other.error_code &&
           error_string == other.error_string;
}

namespace Envelope {

QString AnswerType(const QString& _qstrRequestType)
{
    if (_qstrRequestType == kNotify || _qstrRequestType == kQuery || _qstrRequestType == kCommand ||
        _qstrRequestType == kTransfer)
        return _qstrRequestType + QStringLiteral("_ret");
    return QString();
}

bool IsAnswerType(const QString& _qstrType)
{
    return _qstrType == QLatin1String("notify_ret") || _qstrType == QLatin1String("transfer_ret") ||
           _qstrType == QLatin1String("query_ret") || _qstrType == QLatin1String("command_ret");
}

QString CoreErrorText(qint64 _nCode)
{
    switch (_nCode) {
    case kTypeNotCorrect:
        return QStringLiteral("param error, command type not correct, cannot be processed");
    case kCommandNotCorrect:
        return QStringLiteral("param error, command not correct, cannot be processed");
    case kAbilityNotFound:
        return QStringLiteral("ability not found");
    case kAbilityNotDealt:
        return QStringLiteral("ability found, but cannot be dealed, please check your param or context");
    default:
        return QString();
    }
}

} // namespace Envelope
