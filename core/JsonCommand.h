#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QString>
#include <QStringList>

// The one envelope every message of the service travels in.
struct JsonCommand
{
    bool iscast = false;
    bool force_reply = false;
    QString type;
    QStringList to;
    QString from;
    QString guid;
    QString userdata;
    QString command;
    QString data;
    qint64 error_code = 0;
    QString error_string;
    // Not part of the message: who the hub knows sent it, which "from" only claims. The client
    // name of the connection (its routing identity, its WebSocket login) when that connection is
    // logged in under that name (the service's own code counts as logged in), empty otherwise.
    // Set on what the hub hands to the service's abilities; never on the wire, not compared.
    QString verified_sender;

    void LoadFromString(const QByteArray& _baText);
    void LoadFromJson(const QJsonObject& _jsonObj);
    QJsonObject ToJson() const;
    // Compact JSON; empty (logged) when the envelope is too large for one message.
    QByteArray ToString() const;
    // The same with _baDataUtf8 (UTF-8 text) as "data" in place of the member, so that a
    // multi-megabyte answer never has to be held as a QString.
    QByteArray ToStringWithData(const QByteArray& _baDataUtf8) const;

    bool operator==(const JsonCommand& other) const;
    bool operator!=(const JsonCommand& other) const { return !(*this == other); }

private:
    // Compact JSON by hand; _pDataUtf8, when given, stands for "data".
    QByteArray Serialise(const QByteArray* _pDataUtf8) const;
};
Q_DECLARE_METATYPE(JsonCommand)

// Envelope types and the core command names.
namespace Envelope {
inline const QString kServiceName = QStringLiteral("message_service");
inline const QString kQuery = QStringLiteral("query");
inline const QString kCommand = QStringLiteral("command");
inline const QString kNotify = QStringLiteral("notify");
inline const QString kTransfer = QStringLiteral("transfer");
inline const QString kLogin = QStringLiteral("command_login");
inline const QString kLogout = QStringLiteral("command_logout");
inline const QString kAbilities = QStringLiteral("command_abilities");
inline const QString kAbility = QStringLiteral("command_ability");
inline const QString kStatus = QStringLiteral("command_status");
inline const QString kCatalog = QStringLiteral("command_catalog");

// Answer type of a request type, empty for a type the hub does not accept.
QString AnswerType(const QString& _qstrRequestType);
bool IsAnswerType(const QString& _qstrType);
// Error text of a core error code; empty for 0 and unknown codes.
QString CoreErrorText(qint64 _nCode);

enum CoreError : qint64 {
    kOk = 0,
    kTypeNotCorrect = -1,
    kCommandNotCorrect = -2,
    kAbilityNotFound = -3,
    kAbilityNotDealt = -4,
};
} // namespace Envelope
