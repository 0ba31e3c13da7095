#include "core/AbilityManager.h"
#include "core/LogCategories.h"

#include "core/AbilityReply.h"
#include "core/MessageService.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

namespace {

QString ReplyName(ReplyKind _kind)
{
    switch (_kind) {
    case ReplyKind::Progress:
        return QStringLiteral("progress");
    case ReplyKind::Silent:
        return QStringLiteral("silent");
    case ReplyKind::Single:
        break;
    }
    return QStringLiteral("single");
}
} // namespace

AbilityManager::AbilityManager(Abilities _abilities, MessageService& _hub) : m_hub(_hub)
{
    qRegisterMetaType<JsonCommand>("JsonCommand");
    connect(this, &AbilityManager::SignRecvFromMessageService, this,
            &AbilityManager::SlotRecvFromMessageService, Qt::QueuedConnection);
    for (std::size_t index = 0; index < _abilities.size(); ++index) {
        if (_abilities[index])
            m_vecAbilities.push_back(std::move(_abilities[index]));
        else
            qCCritical(lcCore) << "ability create failed:" << index + 1;
    }
    m_hub.SetAbilities(this);
}

AbilityManager::~AbilityManager()
{
    m_hub.SetAbilities(nullptr);
    ReleaseAll();
}

void AbilityManager::ReleaseAll()
{
    // One at a time, in their order, so none outlives the manager's list of them.
    while (!m_vecAbilities.empty())
        m_vecAbilities.erase(m_vecAbilities.begin());
}

QStringList AbilityManager::AllCommandNames() const
{
    QStringList names;
    for (const auto& ability : m_vecAbilities)
        for (const QString& name : ability->GetAbilities())
            names.append(name);
    return names;
}

QByteArray AbilityManager::CatalogText() const
{
    QJsonArray commands;
    for (const auto& ability : m_vecAbilities)
        for (const CommandInfo& info : ability->Catalog()) {
            QJsonArray success;
            for (qint64 code : info.success)
                success.append(code);
            QJsonObject row{{QStringLiteral("name"), info.name},
                            {QStringLiteral("reply"), ReplyName(info.reply)},
                            {QStringLiteral("success"), success}};
            if (!info.stop.isEmpty())
                row.insert(QStringLiteral("stop"), info.stop);
            if (!info.data.isEmpty())
                row.insert(QStringLiteral("data"), info.data);
            commands.append(row);
        }
    return QJsonDocument(QJsonObject{{QStringLiteral("commands"), commands}}).toJson(QJsonDocument::Compact);
}

void AbilityManager::RegistAbilities()
{
    m_hub.SetCatalog(CatalogText());
    JsonCommand login;
    login.type = Envelope::kNotify;
    login.command = Envelope::kLogin;
    login.from = Envelope::kServiceName;
    login.guid = QUuid::createUuid().toString();
    QJsonObject body;
    body.insert(QStringLiteral("abilities"), QJsonArray::fromStringList(AllCommandNames()));
    login.data = QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact));
    const QByteArray text = login.ToString();
    qCDebug(lcCore) << "AbilityManager::AbilityManager:regist abilities:" << text;
    m_hub.OnMessageReceived(Envelope::kServiceName.toUtf8(), text);
}

void AbilityManager::SlotRecvFromMessageService(JsonCommand stuJsonCommand)
{
    for (const auto& ability : m_vecAbilities)
        if (ability->DealCommand(stuJsonCommand))
            return;
    AbilityReply::Send(stuJsonCommand, Envelope::kAbilityNotDealt,
                       Envelope::CoreErrorText(Envelope::kAbilityNotDealt));
}

void AbilityManager::Receive(const JsonCommand& _jsonCommand)
{
    if (Envelope::IsAnswerType(_jsonCommand.type))
        OnRecvCommandRet(_jsonCommand);
    else
        emit SignRecvFromMessageService(_jsonCommand);
}

void AbilityManager::OnRecvCommandRet(const JsonCommand& _jsonCommand)
{
    qCDebug(lcCore).noquote() << "AbilityManager::OnRecvCommandRet:type[" + _jsonCommand.type + "] command[" +
                                     _jsonCommand.command + "] guid[" + _jsonCommand.guid + "]";
}
