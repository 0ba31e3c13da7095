#include "notices/AbilityCountDownTool.h"
#include "core/LogCategories.h"

#include "notices/CountDown.h"

#include <QDebug>
#include <QPointer>

#include <memory>

namespace {

// One countdown in the window, finished when it has run out. A stop only ends the task: the
// countdown that replaces it restarts the window at once.
class CountDownTask : public Task
{
public:
    CountDownTask(CountDown& _window, int _nCount) : m_window(&_window), m_nCount(_nCount) {}

    void start() override
    {
        QPointer<CountDownTask> self(this);
        m_window->Start(m_nCount, [self] {
            qCDebug(lcNotices) << "OnCountDownFinish!";
            if (self)
                self->Finish(TaskResult{0, QString(), QString(), {}});
        });
    }
    void requestStop() override
    {
        MarkStopRequested();
        Finish(TaskResult());
    }

private:
    QPointer<CountDown> m_window;
    int m_nCount;
};

} // namespace

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

Handled AbilityCountDownTool::DealCountDown(const JsonCommand& _jsonCommand)
{
    // The countdown shown until now is replaced, and its requester left without an answer.
    if (Tasks().Contains(m_running.guid))
        Tasks().Stop(m_running, m_running.command);
    const int count = _jsonCommand.data.toInt(nullptr, 10);
    if (count < 1) {
        // It could never reach its last tick: finished at once, with nothing shown.
        Window().Start(count, nullptr);
        qCDebug(lcNotices) << "OnCountDownFinish!";
        return Handled::Answer(0);
    }
    m_running = _jsonCommand;
    return Handled::Started(std::make_unique<CountDownTask>(Window(), count));
}
