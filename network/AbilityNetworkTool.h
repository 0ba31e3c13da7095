#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"
#include "network/NetworkCommandRun.h"
#include "network/NetworkStatusTips.h"
#include "network/ProbeScheduler.h"

#include <QHash>
#include <QObject>

// Answers whether the public internet and given web addresses are reachable, and turns the
// network monitor's status changes into the network-status tips window.
class AbilityNetworkTool : public QObject, public AbilityTable<AbilityNetworkTool>
{
    Q_OBJECT
public:
    // _pTips: where the network-status tips windows open.
    explicit AbilityNetworkTool(std::shared_ptr<ServiceTips> _pTips);
    ~AbilityNetworkTool() override;

    // Requests (public tests and addresses) running at once for one client, keyed by the
    // commands' "from", and in all; further ones wait for a turn, a client's in the order asked.
    static constexpr int kMaxProbesPerClient = 8;
    static constexpr int kMaxRunningProbes = 128;
    // Commands accepted and not yet answered, for one client and in all; each has at most one
    // request waiting, so this bounds the waiting too. Past either a command is refused (the
    // ability answers -4) rather than held without limit.
    static constexpr int kMaxPendingPerClient = 512;
    static constexpr int kMaxPending = 4096;
    // Distinct addresses one command may name; a command naming more is refused (-4).
    static constexpr int kMaxAddresses = 1024;

public slots:
    void SlotNetworkStatusChange(bool _blIsOn, QString qstrMsg);
    void SlotPubicNetworkResult(bool _blIsOn);

private:
    Handled DealPublicNetwork(const JsonCommand& _jsonCommand)
    {
        return Accept(_jsonCommand, NetworkCommandRun::Kind::PublicNetwork);
    }
    Handled DealGetInterface(const JsonCommand& _jsonCommand)
    {
        return Accept(_jsonCommand, NetworkCommandRun::Kind::GetInterface);
    }
    Handled DealPostInterface(const JsonCommand& _jsonCommand)
    {
        return Accept(_jsonCommand, NetworkCommandRun::Kind::PostInterface);
    }
    // Starts the command's run, its requests waiting for their turns, or refuses it beyond the bounds.
    Handled Accept(const JsonCommand& _jsonCommand, NetworkCommandRun::Kind _kind);

    static const std::vector<Row> kCommands;

    void Answered(const QString& _qstrClient);

    JsonCommand m_lastAccepted;
    QHash<QString, int> m_hashPending; // per client, commands accepted and not yet answered
    int m_nPending = 0;
    NetworkStatusTips m_statusTips;
    // The runs belong to the task table of the base class and so are deleted after this member;
    // none calls it while it is deleted.
    ProbeScheduler m_scheduler{kMaxProbesPerClient, kMaxRunningProbes};
};
