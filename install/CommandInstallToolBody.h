#pragma once

#include <QJsonObject>
#include <QString>

// Payload of the install commands and of their progress notifications:
// {"from":..., "to":..., "extra":..., "percent":...}.
//   download: from = URL, to = file to write, extra = expected MD5 (empty: no check)
//   unzip:    from = zip file, to = destination folder
//   replace:  from = source folder, to = destination folder, extra = backup folder
//   progress: percent only
class CommandInstallToolBody
{
public:
    QString from;
    QString to;
    QString extra;
    double percent = 0;

    void LoadFromString(const QString& _qstrText);
    void LoadFromJson(const QJsonObject& _jsonObj);
    // The three texts only when non-empty; "percent" always.
    QJsonObject ToJson() const;
    QString ToString() const;
};
