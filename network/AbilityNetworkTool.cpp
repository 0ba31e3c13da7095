#include "network/AbilityNetworkTool.h"

#include "core/AbilityReply.h"
#include "core/CommandTable.h"
#include "core/Config.h"
#include "core/MessageService.h"
#include "network/CommandNetworkBody.h"
#include "network/NetworkCommandRun.h"
#include "network/NetworkManager.h"
#include "network/NetworkStatusTips.h"

#include <QDebug>

namespace {

struct CommandEntry
{
    const char* name;
    const char* answer;
    NetworkCommandRun::Kind kind;
};

const CommandEntry kCommands[] = {
    {"public_network", "public_network_ret", NetworkCommandRun::Kind::PublicNetwork},
    {"get_interface", "get_interface_ret", NetworkCommandRun::Kind::GetInterface},
    {"post_interface", "post_interface_ret", NetworkCommandRun::Kind::PostInterface},
};

} // namespace

AbilityNetworkTool::AbilityNetworkTool()
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

std::vector<QString> AbilityNetworkTool::GetAbilities()
{
    return CommandTable::Names(kCommands);
}

bool AbilityNetworkTool::DealCommand(const JsonCommand& _jsonCommand)
{
    if (!CommandTable::Find(kCommands, _jsonCommand))
        return false;
    if (m_dequeAccepted.size() >= kMaxWaitingCommands) {
        qCritical() << "AbilityNetworkTool::DealCommand:too many network commands waiting, refused:"
                    << _jsonCommand.guid;
        return false;
    }
    CommandNetworkBody body;
    body.LoadFromString(_jsonCommand.data);
    if (body.m_qmapNetworkResult.size() > kMaxAddresses) {
        qCritical() << "AbilityNetworkTool::DealCommand:more addresses than a command may name, refused:"
                    << _jsonCommand.guid << body.m_qmapNetworkResult.size();
        return false;
    }
    m_dequeAccepted.push_back({_jsonCommand, body.m_qmapNetworkResult.keys()});
    m_lastAccepted = _jsonCommand;
    emit SignCommandMessage();
    return true;
}

void AbilityNetworkTool::SlotCommandMessage()
{
    while (m_nRunning < kMaxRunningCommands && !m_dequeAccepted.empty()) {
        const Accepted accepted = std::move(m_dequeAccepted.front());
        m_dequeAccepted.pop_front();
        const CommandEntry* entry = CommandTable::Find(kCommands, accepted.request);
        auto* run = new NetworkCommandRun(accepted.request, accepted.urls, entry->kind,
                                          QLatin1String(entry->answer), this);
        ++m_nRunning;
        connect(run, &NetworkCommandRun::SignFinished, this, [this, run] {
            --m_nRunning;
            run->deleteLater();
            if (!m_dequeAccepted.empty())
                emit SignCommandMessage();
        });
        run->Start();
    }
}

void AbilityNetworkTool::SlotNetworkStatusChange(bool _blIsOn, QString qstrMsg)
{
    qDebug() << "SlotNetworkStatusChange!";
    // A flapping network shows one status at a time: the newest.
    NetworkStatusTips::CloseShown();
    NetworkStatusTips::Request(_blIsOn, qstrMsg);
}

void AbilityNetworkTool::SlotPubicNetworkResult(bool)
{
    qDebug() << "SlotPubicNetworkResult!";
    JsonCommand answer = AbilityReply::Build(m_lastAccepted, 0, QString(), QString());
    answer.command = QStringLiteral("public_network_ret");
    MessageService::Instance().Post(answer);
}
