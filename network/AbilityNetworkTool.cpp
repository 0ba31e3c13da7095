#include "network/AbilityNetworkTool.h"
#include "core/LogCategories.h"

#include "core/AbilityReply.h"
#include "core/Config.h"
#include "core/MessageService.h"
#include "network/CommandNetworkBody.h"
#include "network/NetworkCommandRun.h"
#include "network/NetworkManager.h"

#include <QDebug>

const std::vector<AbilityNetworkTool::Row> AbilityNetworkTool::kCommands = {
    {"public_network", &AbilityNetworkTool::DealPublicNetwork, ReplyKind::Single, {0}},
    {"get_interface", &AbilityNetworkTool::DealGetInterface, ReplyKind::Single, {0}},
    {"post_interface", &AbilityNetworkTool::DealPostInterface, ReplyKind::Single, {0}},
};

AbilityNetworkTool::AbilityNetworkTool(std::shared_ptr<ServiceTips> _pTips)
    : AbilityTable(kCommands), m_statusTips(std::move(_pTips))
{
    NetworkManager& monitor = NetworkManager::Instance();
    monitor.Init(Config::Instance().GetPublicNetworkUrl(), Config::Instance().GetProbeTimeoutSeconds());
    connect(&monitor, &NetworkManager::SignNetworkStatusChange, this,
            &AbilityNetworkTool::SlotNetworkStatusChange);
    connect(&monitor, &NetworkManager::SignPubicNetworkResult, this,
            &AbilityNetworkTool::SlotPubicNetworkResult);
    connect(this, &AbilityNetworkTool::SignCommandMessage, this, &AbilityNetworkTool::SlotCommandMessage,
            Qt::QueuedConnection);
}

// Runs still testing are children and go with the ability, unanswered.
AbilityNetworkTool::~AbilityNetworkTool() = default;

void AbilityNetworkTool::Accept(const JsonCommand& _jsonCommand, NetworkCommandRun::Kind _kind)
{
    if (m_nPending >= kMaxPending) {
        qCCritical(lcNetwork) << "AbilityNetworkTool::DealCommand:too many network commands waiting, refused:"
                              << _jsonCommand.guid;
        Refuse();
        return;
    }
    if (m_hashPending.value(_jsonCommand.from) >= kMaxPendingPerClient) {
        qCCritical(lcNetwork)
            << "AbilityNetworkTool::DealCommand:too many network commands waiting for one client, refused:"
            << _jsonCommand.guid << _jsonCommand.from;
        Refuse();
        return;
    }
    CommandNetworkBody body;
    body.LoadFromString(_jsonCommand.data);
    if (body.m_qmapNetworkResult.size() > kMaxAddresses) {
        qCCritical(lcNetwork)
            << "AbilityNetworkTool::DealCommand:more addresses than a command may name, refused:"
            << _jsonCommand.guid << body.m_qmapNetworkResult.size();
        Refuse();
        return;
    }
    ++m_hashPending[_jsonCommand.from];
    ++m_nPending;
    m_dequeAccepted.push_back(
        {_jsonCommand, body.m_qmapNetworkResult.keys(), _kind,
         std::make_shared<TaskRegistry::Handle>(_jsonCommand.guid, _jsonCommand.command, _jsonCommand.from)});
    m_lastAccepted = _jsonCommand;
    emit SignCommandMessage();
}

void AbilityNetworkTool::SlotCommandMessage()
{
    // Every accepted command starts: its requests wait for their turns in the scheduler.
    while (!m_dequeAccepted.empty()) {
        const Accepted accepted = std::move(m_dequeAccepted.front());
        m_dequeAccepted.pop_front();
        // Each command is answered under its own name with "_ret" appended.
        auto* run =
            new NetworkCommandRun(accepted.request, accepted.urls, accepted.kind,
                                  accepted.request.command + QLatin1String("_ret"), m_scheduler, this);
        connect(run, &NetworkCommandRun::SignFinished, this,
                [this, run, client = accepted.request.from, task = accepted.task] {
                    Answered(client);
                    run->deleteLater();
                });
        run->Start();
    }
}

void AbilityNetworkTool::Answered(const QString& _qstrClient)
{
    --m_nPending;
    const auto it = m_hashPending.find(_qstrClient);
    if (it != m_hashPending.end() && --*it <= 0)
        m_hashPending.erase(it);
}

void AbilityNetworkTool::SlotNetworkStatusChange(bool _blIsOn, QString qstrMsg)
{
    qCDebug(lcNetwork) << "SlotNetworkStatusChange!";
    m_statusTips.Replace(_blIsOn, qstrMsg);
}

void AbilityNetworkTool::SlotPubicNetworkResult(bool)
{
    qCDebug(lcNetwork) << "SlotPubicNetworkResult!";
    JsonCommand answer = AbilityReply::Build(m_lastAccepted, 0, QString(), QString());
    answer.command = QStringLiteral("public_network_ret");
    MessageService::Instance().Post(answer);
}
