#pragma once

#include <QJsonObject>
#include <QString>

// Payload of "update", "pre_uninst" and of their answers: what to install where, and, in an
// answer, the stage ("status") and its progress ("percent").
class CommandAutoInstallToolBody
{
public:
    QString appid;
    QString url;
    QString md5;
    // Base64 Ed25519 signature over the package's SHA-512; checked only when config.ini names a key.
    QString signature;
    QString processName;
    QString downloadPath;
    bool bNoZip = false;
    QString unzipPath;
    QString installPath;
    QString backupPath;
    QString status;
    double percent = 0;

    // False when the text is not a JSON object.
    bool LoadFromString(const QString& _qstrText);
    void LoadFromJson(const QJsonObject& _jsonObj);
    // Texts only when non-empty, "bNoZip" only when true, "percent" always.
    QJsonObject ToJson() const;
    QString ToString() const;

    // The app id names folders, so it must be one plain path component.
    static bool IsPlainAppId(const QString& _qstrAppId);
};
