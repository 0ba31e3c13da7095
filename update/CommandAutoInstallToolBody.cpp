#include "update/CommandAutoInstallToolBody.h"
#include "core/LogCategories.h"

#include "core/JsonReader.h"

#include <QDebug>
#include <QJsonDocument>

bool CommandAutoInstallToolBody::LoadFromString(const QString& _qstrText)
{
    const auto obj = JsonReader::ParseObject(_qstrText.toUtf8(), "CommandInstallToolBody::LoadFromString:");
    if (!obj)
        return false;
    LoadFromJson(*obj);
    return true;
}

void CommandAutoInstallToolBody::LoadFromJson(const QJsonObject& _jsonObj)
{
    qCWarning(lcUpdate) << "CommandInstallToolBody::LoadFromJson";
    JsonReader reader(_jsonObj);
    reader.String("appid", appid, "LoadFromJson:noappidfound");
    reader.String("url", url, "LoadFromJson:nourlfound");
    reader.String("md5", md5, "LoadFromJson:nomd5found");
    reader.String("signature", signature, "LoadFromJson:nosignaturefound");
    reader.String("processName", processName, "LoadFromJson:noprocessNamefound");
    reader.String("downloadPath", downloadPath, "LoadFromJson:nodownloadPathfound");
    reader.Bool("bNoZip", bNoZip, "LoadFromJson:nobNoZipfound");
    reader.String("unzipPath", unzipPath, "LoadFromJson:nounzipPathfound");
    reader.String("installPath", installPath, "LoadFromJson:noinstallPathfound");
    reader.String("backupPath", backupPath, "LoadFromJson:nobackupPathfound");
    reader.String("status", status, "LoadFromJson:nostatusfound");
    reader.Double("percent", percent, "LoadFromJson:nopercentfound");
}

QJsonObject CommandAutoInstallToolBody::ToJson() const
{
    QJsonObject obj;
    const auto putText = [&obj](const char* _szKey, const QString& _qstrValue) {
        if (!_qstrValue.isEmpty())
            obj.insert(QLatin1String(_szKey), _qstrValue);
    };
    putText("appid", appid);
    putText("url", url);
    putText("md5", md5);
    putText("signature", signature);
    putText("processName", processName);
    putText("downloadPath", downloadPath);
    if (bNoZip)
        obj.insert(QStringLiteral("bNoZip"), true);
    putText("unzipPath", unzipPath);
    putText("installPath", installPath);
    putText("backupPath", backupPath);
    putText("status", status);
    obj.insert(QStringLiteral("percent"), percent);
    return obj;
}

QString CommandAutoInstallToolBody::ToString() const
{
    return QString::fromUtf8(QJsonDocument(ToJson()).toJson(QJsonDocument::Compact));
}

bool CommandAutoInstallToolBody::IsPlainAppId(const QString& _qstrAppId)
{
    if (_qstrAppId.isEmpty() || _qstrAppId == QLatin1String(".") || _qstrAppId == QLatin1String(".."))
        return false;
    for (const QChar ch : _qstrAppId)
        if (ch == QLatin1Char('/') || ch == QLatin1Char('\\') || ch.unicode() < 0x20 || ch.unicode() == 0x7f)
            return false;
    return true;
}
