#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"

#include <memory>

class CountDown;

// Shows the countdown ("count_down", data: a bare number of seconds) and tells the requester when
// it has run out; that "transfer" is the only answer. A new countdown takes the window over: the
// one it replaces is never answered.
class AbilityCountDownTool : public AbilityTable<AbilityCountDownTool>
{
public:
    AbilityCountDownTool();
    ~AbilityCountDownTool() override;

    // Built on the first countdown: an idle service keeps no window, style or fonts loaded.
    CountDown& Window();

private:
    Handled DealCountDown(const JsonCommand& _jsonCommand);

    static const std::vector<Row> kCommands;

    std::unique_ptr<CountDown> m_pCountDown;
    // The request whose countdown the window shows, while its task runs.
    JsonCommand m_running;
};
