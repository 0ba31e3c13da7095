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
std::vector<AbilityManager::Maker>& FactoryHolder()
{
    static std::vector<AbilityManager::Maker> s_makers;
    return s_makers;
}

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

void AbilityManager::SetFactory(std::vector<Maker> _vecMakers)
{
    FactoryHolder() = std::move(_vecMakers);
}

AbilityManager& AbilityManager::Instance()
{
    static AbilityManager s_manager;
    return s_manager;
}

AbilityManager::AbilityManager()
{
    qRegisterMetaType<JsonCommand>("JsonCommand");
    // Its queued commands run on the main thread even if a test touches it first elsewhere.
    if (QCoreApplication::instance())
        moveToThread(QCoreApplication::instance()->thread());
    connect(this, &AbilityManager::SignRecvFromMessageService, this,
            &AbilityManager::SlotRecvFromMessageService, Qt::QueuedConnection);
}

void AbilityManager::CreateAbilities()
{
    if (!m_vecAbilities.empty())
        return;
    for (int index = 1; index <= static_cast<int>(FactoryHolder().size()); ++index) {
        IAbility* ability = CreateAbility(index);
        if (ability)
            m_vecAbilities.push_back(ability);
        else
            qCCritical(lcCore) << "ability create failed:" << index;
    }
}

AbilityManager::~AbilityManager()
{
    ReleaseAll();
}

void AbilityManager::ReleaseAll()
{
    for (IAbility* ability : m_vecAbilities)
        ReleaseAbility(ability);
    m_vecAbilities.clear();
}

IAbility* AbilityManager::CreateAbility(int _nIndex)
{
    qCWarning(lcCore) << "CreateAbility:" << _nIndex;
    IAbility* ability = nullptr;
    if (_nIndex >= 1 && _nIndex <= static_cast<int>(FactoryHolder().size()) && FactoryHolder()[_nIndex - 1])
        ability = FactoryHolder()[_nIndex - 1]();
    qCWarning(lcCore) << "CreateAbility ret:" << static_cast<void*>(ability);
    return ability;
}

void AbilityManager::ReleaseAbility(IAbility* _pAbility)
{
    qCWarning(lcCore) << "ReleaseAbility:" << static_cast<void*>(_pAbility);
    delete _pAbility;
}

QStringList AbilityManager::AllCommandNames() const
{
    QStringList names;
    for (IAbility* ability : m_vecAbilities)
        for (const QString& name : ability->GetAbilities())
            names.append(name);
    return names;
}

QByteArray AbilityManager::CatalogText() const
{
    QJsonArray commands;
    for (IAbility* ability : m_vecAbilities)
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
    MessageService::Instance().SetCatalog(CatalogText());
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
    MessageService::Instance().OnMessageReceived(Envelope::kServiceName.toUtf8(), text);
}

void AbilityManager::SlotRecvFromMessageService(JsonCommand stuJsonCommand)
{
    for (IAbility* ability : m_vecAbilities)
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
