#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"
#include "core/TaskRegistry.h"
#include "network/NetworkCommandRun.h"

#include <QObject>

#include <deque>
#include <memory>

// Answers whether the public internet and given web addresses are reachable, and turns the
// network monitor's status changes into the network-status tips window.
class AbilityNetworkTool : public QObject, public AbilityTable<AbilityNetworkTool>
{
    Q_OBJECT
public:
    AbilityNetworkTool();
    ~AbilityNetworkTool() override;

    // Commands tested at the same time; further ones wait for a free turn, in order. Beyond the
    // waiting bound a command is refused (the hub answers -4) rather than held without limit.
    static constexpr int kMaxRunningCommands = 128;
    static constexpr size_t kMaxWaitingCommands = 4096;
    // Distinct addresses one command may name; a command naming more is refused (the hub's -4).
    static constexpr int kMaxAddresses = 1024;

signals:
    void SignCommandMessage();

public slots:
    void SlotNetworkStatusChange(bool _blIsOn, QString qstrMsg);
    void SlotPubicNetworkResult(bool _blIsOn);
    void SlotCommandMessage();

private:
    void DealPublicNetwork(const JsonCommand& _jsonCommand)
    {
        Accept(_jsonCommand, NetworkCommandRun::Kind::PublicNetwork);
    }
    void DealGetInterface(const JsonCommand& _jsonCommand)
    {
        Accept(_jsonCommand, NetworkCommandRun::Kind::GetInterface);
    }
    void DealPostInterface(const JsonCommand& _jsonCommand)
    {
        Accept(_jsonCommand, NetworkCommandRun::Kind::PostInterface);
    }
    // Queues the command for its turn, or refuses it beyond the bounds.
    void Accept(const JsonCommand& _jsonCommand, NetworkCommandRun::Kind _kind);

    static const std::vector<Row> kCommands;

    struct Accepted
    {
        JsonCommand request;
        QStringList urls; // its distinct addresses, in address order
        NetworkCommandRun::Kind kind;
        std::shared_ptr<TaskRegistry::Handle> task;
    };
    std::deque<Accepted> m_dequeAccepted; // accepted, not yet started
    JsonCommand m_lastAccepted;
    int m_nRunning = 0;
};
