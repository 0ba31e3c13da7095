#include "notices/AbilityCountDownTool.h"

#include "core/AbilityReply.h"
#include "core/CommandTable.h"
#include "notices/CountDown.h"

#include <QDebug>

const AbilityCountDownTool::CommandEntry AbilityCountDownTool::kCommands[] = {
    {"count_down", &AbilityCountDownTool::DealCountDown},
};

AbilityCountDownTool::AbilityCountDownTool() : m_pCountDown(std::make_unique<CountDown>()) {}

AbilityCountDownTool::~AbilityCountDownTool() = default;

std::vector<QString> AbilityCountDownTool::GetAbilities()
{
    return CommandTable::Names(kCommands);
}

bool AbilityCountDownTool::DealCommand(const JsonCommand& _jsonCommand)
{
    const CommandEntry* entry = CommandTable::Find(kCommands, _jsonCommand);
    if (!entry)
        return false;
    (this->*entry->handler)(_jsonCommand);
    return true;
}

void AbilityCountDownTool::DealCountDown(const JsonCommand& _jsonCommand)
{
    const int count = _jsonCommand.data.toInt(nullptr, 10);
    m_pCountDown->Start(count, [this, _jsonCommand] { OnCountDownFinish(_jsonCommand); });
}

void AbilityCountDownTool::OnCountDownFinish(const JsonCommand& _jsonCommand)
{
    qDebug() << "OnCountDownFinish!";
    AbilityReply::Send(_jsonCommand, 0);
}
