#pragma once

#include "core/Task.h"
#include "core/TaskResult.h"

#include <memory>

// What an ability's handler did with its command, returned as a value: the framework answers
// the requester from it, so a handler never posts to the hub itself.
class Handled
{
public:
    enum class Kind {
        Started, // a task runs; it answers through its table
        Answer,  // answered now
        Refused, // not carried out; answered now with the reason
        Quiet,   // carried out, and the command is one that answers nothing
    };

    static Handled Started(std::unique_ptr<Task> _pTask)
    {
        Handled handled(Kind::Started);
        handled.m_pTask = std::move(_pTask);
        return handled;
    }
    static Handled Answer(qint64 _nCode, const QString& _qstrText = QString(),
                          const QString& _qstrData = QString())
    {
        return Answer(TaskResult{_nCode, _qstrText, _qstrData, {}});
    }
    static Handled Answer(TaskResult _result)
    {
        Handled handled(Kind::Answer);
        handled.m_result = std::move(_result);
        return handled;
    }
    static Handled Refused(qint64 _nCode, const QString& _qstrText, const QString& _qstrData = QString())
    {
        Handled handled(Kind::Refused);
        handled.m_result = TaskResult{_nCode, _qstrText, _qstrData, {}};
        return handled;
    }
    static Handled Quiet() { return Handled(Kind::Quiet); }

    Kind GetKind() const { return m_kind; }
    const TaskResult& Result() const { return m_result; }
    std::unique_ptr<Task> TakeTask() { return std::move(m_pTask); }

private:
    explicit Handled(Kind _kind) : m_kind(_kind) {}

    Kind m_kind;
    TaskResult m_result;
    std::unique_ptr<Task> m_pTask;
};
