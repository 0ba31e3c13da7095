#include "core/AbilityManager.h"

#include "core/AbilityReply.h"
#include "core/MessageService.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

namespace {
AbilityManager::Factory& FactoryHolder()
{
    static AbilityManager::Factory s_factory;
    return s_factory;
}
} // namespace

void AbilityManager::SetFactory(Factory _factory)
{
    FactoryHolder() = std::move(_factory);
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
    for (int index = 1; index <= kAbilityCount; ++index) {
        IAbility* ability = CreateAbility(index);
        if (ability)
            m_vecAbilities.push_back(ability);
        else
            qCritical() << "ability create failed:" << index;
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
    qWarning() << "CreateAbility:" << _nIndex;
    IAbility* ability = nullptr;
    if (_nIndex >= 1 && _nIndex <= kAbilityCount && FactoryHolder())
        ability = FactoryHolder()(_nIndex);
    qWarning() << "CreateAbility ret:" << static_cast<void*>(ability);
    return ability;
}

void AbilityManager::ReleaseAbility(IAbility* _pAbility)
{
    qWarning() << "ReleaseAbility:" << static_cast<void*>(_pAbility);
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

void AbilityManager::RegistAbilities()
{
    JsonCommand login;
    login.type = Envelope::kNotify;
    login.command = Envelope::kLogin;
    login.from = Envelope::kServiceName;
    login.guid = QUuid::createUuid().toString();
    QJsonObject body;
    body.insert(QStringLiteral("abilities"), QJsonArray::fromStringList(AllCommandNames()));
    login.data = QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact));
    const QByteArray text = login.ToString();
    qDebug() << "AbilityManager::AbilityManager:regist abilities:" << text;
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
    qDebug().noquote() << "AbilityManager::OnRecvCommandRet:type[" + _jsonCommand.type + "] command[" +
                              _jsonCommand.command + "] guid[" + _jsonCommand.guid + "]";
}
