#pragma once

#include "core/IAbility.h"
#include "core/JsonCommand.h"

#include <memory>

class CountDown;

// Shows the countdown ("count_down", data: a bare number of seconds) and tells the requester when
// it has run out; that "transfer" is the only answer.
class AbilityCountDownTool : public IAbility
{
public:
    AbilityCountDownTool();
    ~AbilityCountDownTool() override;

    std::vector<QString> GetAbilities() override;
    bool DealCommand(const JsonCommand& _jsonCommand) override;

    CountDown& Window() { return *m_pCountDown; }

private:
    void DealCountDown(const JsonCommand& _jsonCommand);
    void OnCountDownFinish(const JsonCommand& _jsonCommand);

    struct CommandEntry
    {
        const char* name;
        void (AbilityCountDownTool::*handler)(const JsonCommand&);
    };
    static const CommandEntry kCommands[];

    std::unique_ptr<CountDown> m_pCountDown;
};
