#pragma once

#include "core/IAbility.h"
#include "core/JsonCommand.h"

#include <QObject>

#include <deque>

// Answers whether the public internet and given web addresses are reachable, and turns the
// network monitor's status changes into the network-status tips window.
class AbilityNetworkTool : public QObject, public IAbility
{
    Q_OBJECT
public:
    AbilityNetworkTool();
    ~AbilityNetworkTool() override;

    std::vector<QString> GetAbilities() override;
    bool DealCommand(const JsonCommand& _jsonCommand) override;

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
    struct Accepted
    {
        JsonCommand request;
        QStringList urls; // its distinct addresses, in address order
    };
    std::deque<Accepted> m_dequeAccepted; // accepted, not yet started
    JsonCommand m_lastAccepted;
    int m_nRunning = 0;
};
