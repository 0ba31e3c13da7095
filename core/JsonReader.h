#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

// Reads keys of a JSON object only when they hold the expected type; otherwise the field keeps
// its default and, when a log text is given, that text is logged at critical level.
// Every envelope and body class parses through this one helper.
class JsonReader
{
public:
    explicit JsonReader(const QJsonObject& _jsonObj) : m_jsonObj(_jsonObj) {}

    bool String(const char* _szKey, QString& _qstrOut, const char* _szMissingLog = nullptr) const;
    bool Bool(const char* _szKey, bool& _blOut, const char* _szMissingLog = nullptr) const;
    // Accepts only numbers with an integral value; 2.5 counts as absent.
    bool Integer(const char* _szKey, qint64& _nOut, const char* _szMissingLog = nullptr) const;
    bool Integer(const char* _szKey, int& _nOut, const char* _szMissingLog = nullptr) const;
    bool Double(const char* _szKey, double& _dOut, const char* _szMissingLog = nullptr) const;
    // Each element is converted to a string; non-strings become empty strings.
    bool StringList(const char* _szKey, QStringList& _listOut, const char* _szMissingLog = nullptr) const;
    bool Object(const char* _szKey, QJsonObject& _objOut, const char* _szMissingLog = nullptr) const;

    // Parses text into an object. Syntax errors log "<prefix>" + parser text; a non-object
    // logs "<prefix>qjsonOdc is not object". Both return nullopt.
    static std::optional<QJsonObject> ParseObject(const QByteArray& _baText, const char* _szLogPrefix);

private:
    bool Missing(const char* _szMissingLog) const;

    QJsonObject m_jsonObj;
};
