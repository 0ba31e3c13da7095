#include "notices/AbilityCountDownTool.h"
#include "core/LogCategories.h"

#include "core/AbilityReply.h"
#include "core/TaskRegistry.h"
#include "notices/CountDown.h"

#include <QDebug>

#include <memory>

const std::vector<AbilityCountDownTool::Row> AbilityCountDownTool::kCommands = {
    {"count_down", &AbilityCountDownTool::DealCountDown, ReplyKind::Single, {0}},
};

AbilityCountDownTool::AbilityCountDownTool() : AbilityTable(kCommands) {}

AbilityCountDownTool::~AbilityCountDownTool() = default;

CountDown& AbilityCountDownTool::Window()
{
    if (!m_pCountDown)
        m_pCountDown = std::make_unique<CountDown>();
    return *m_pCountDown;
}

void AbilityCountDownTool::DealCountDown(const JsonCommand& _jsonCommand)
{
    const int count = _jsonCommand.data.toInt(nullptr, 10);
    // Listed as running while its window counts (a new countdown replaces it, and its callback).
    auto task =
        std::make_shared<TaskRegistry::Handle>(_jsonCommand.guid, _jsonCommand.command, _jsonCommand.from);
    Window().Start(count, [this, _jsonCommand, task] { OnCountDownFinish(_jsonCommand); });
}

void AbilityCountDownTool::OnCountDownFinish(const JsonCommand& _jsonCommand)
{
    qCDebug(lcNotices) << "OnCountDownFinish!";
    AbilityReply::Send(_jsonCommand, 0);
}
