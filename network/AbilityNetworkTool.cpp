#include "network/AbilityNetworkTool.h"
#include "core/LogCategories.h"

#include "core/AbilityReply.h"
#include "core/Config.h"
#include "network/CommandNetworkBody.h"
#include "network/NetworkCommandRun.h"
#include "network/NetworkManager.h"

#include <QDebug>

const std::vector<AbilityNetworkTool::Row> AbilityNetworkTool::kCommands = {
    {"public_network", &AbilityNetworkTool::DealPublicNetwork, ReplyKind::Single, {0}},
    {"get_interface", &AbilityNetworkTool::DealGetInterface, ReplyKind::Single, {0}},
    {"post_interface", &AbilityNetworkTool::DealPostInterface, ReplyKind::Single, {0}},
};

namespace {

// Each command is answered under its own name with "_ret" appended.
TaskTable::Style AnsweredWithRet()
{
    TaskTable::Style style;
    style.answerSuffix = QStringLiteral("_ret");
    return style;
}

} // namespace

AbilityNetworkTool::AbilityNetworkTool(std::shared_ptr<ServiceTips> _pTips)
    : AbilityTable(kCommands, AnsweredWithRet()), m_statusTips(std::move(_pTips))
{
    NetworkManager& monitor = NetworkManager::Instance();
    monitor.Init(Config::Instance().GetPublicNetworkUrl(), Config::Instance().GetProbeTimeoutSeconds());
    connect(&monitor, &NetworkManager::SignNetworkStatusChange, this,
            &AbilityNetworkTool::SlotNetworkStatusChange);
    connect(&monitor, &NetworkManager::SignPubicNetworkResult, this,
            &AbilityNetworkTool::SlotPubicNetworkResult);
}

// Runs still testing go with the ability's task table, unanswered.
AbilityNetworkTool::~AbilityNetworkTool() = default;

Handled AbilityNetworkTool::Accept(const JsonCommand& _jsonCommand, NetworkCommandRun::Kind _kind)
{
    const auto refused = [] {
        return Handled::Refused(Envelope::kAbilityNotDealt,
                                Envelope::CoreErrorText(Envelope::kAbilityNotDealt));
    };
    // The table names a task by its request's guid.
    if (Tasks().Contains(_jsonCommand.guid)) {
        qCCritical(lcNetwork)
            << "AbilityNetworkTool::DealCommand:a command with this guid is running, refused:"
            << _jsonCommand.guid;
        return refused();
    }
    if (m_nPending >= kMaxPending) {
        qCCritical(lcNetwork) << "AbilityNetworkTool::DealCommand:too many network commands waiting, refused:"
                              << _jsonCommand.guid;
        return refused();
    }
    if (m_hashPending.value(_jsonCommand.from) >= kMaxPendingPerClient) {
        qCCritical(lcNetwork)
            << "AbilityNetworkTool::DealCommand:too many network commands waiting for one client, refused:"
            << _jsonCommand.guid << _jsonCommand.from;
        return refused();
    }
    CommandNetworkBody body;
    body.LoadFromString(_jsonCommand.data);
    if (body.m_qmapNetworkResult.size() > kMaxAddresses) {
        qCCritical(lcNetwork)
            << "AbilityNetworkTool::DealCommand:more addresses than a command may name, refused:"
            << _jsonCommand.guid << body.m_qmapNetworkResult.size();
        return refused();
    }
    ++m_hashPending[_jsonCommand.from];
    ++m_nPending;
    m_lastAccepted = _jsonCommand;
    auto run = std::make_unique<NetworkCommandRun>(_jsonCommand, body.m_qmapNetworkResult.keys(), _kind,
                                                   m_scheduler);
    // Queued like the table's answer: a run that ends inside start() still holds its place until
    // this handler has returned.
    connect(
        run.get(), &Task::finished, this, [this, client = _jsonCommand.from] { Answered(client); },
        Qt::QueuedConnection);
    return Handled::Started(std::move(run));
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
    // Nobody asked for this one: it goes to the client whose command came last.
    JsonCommand answeredAs = m_lastAccepted;
    answeredAs.command = QStringLiteral("public_network_ret");
    AbilityReply::Send(answeredAs, 0);
}
