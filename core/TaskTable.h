#pragma once

#include "core/JsonCommand.h"
#include "core/Task.h"
#include "core/TaskRegistry.h"

#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>

// How a task table answers for its ability.
struct TaskTableStyle
{
    // The data of a progress answer (code 0); null: progress is recorded but not sent.
    std::function<QString(double _dPercent, const QString& _qstrStatus)> progressBody;
    // Progress passes the configured percent filter; otherwise every report is sent.
    bool filtered = false;
    // The data of the 104 answer to a stop that names no task.
    QString notExistData;
    // Appended to the command name of the tasks' answers, for abilities that answer "<command>_ret".
    QString answerSuffix;
};

// The running tasks of one ability, named by the guid of the request that started each. The
// table owns every task from its start until its finished(): it forwards progress (through the
// percent filter when the ability asks for it), sends the final answer, keeps the task listed
// in TaskRegistry and then destroys it. Main thread only: no lock.
class TaskTable : public QObject
{
    Q_OBJECT
public:
    using Style = TaskTableStyle;

    explicit TaskTable(Style _style = Style());
    // Tasks still running are destroyed with the table; their destructors end their work.
    ~TaskTable() override;

    bool Contains(const QString& _qstrGuid) const { return m_mapEntries.count(_qstrGuid) != 0; }
    std::size_t Size() const { return m_mapEntries.size(); }
    Task* Find(const QString& _qstrGuid) const;
    // True when _match holds for a running task (its request and the task).
    bool Any(const std::function<bool(const JsonCommand&, const Task&)>& _match) const;

    // Takes _pTask for the guid of _request and starts it. A guid a running task uses is refused
    // (-4) and _pTask dropped unstarted: the running task keeps its requester.
    void Start(const JsonCommand& _request, std::unique_ptr<Task> _pTask);
    // A stop command: asks the _qstrOf task of the stop's guid to stop and returns at once; the
    // guid is free again from now on. The stopped task ends unanswered. With no such task the
    // stop is answered 104.
    void Stop(const JsonCommand& _stop, const QString& _qstrOf);

private:
    struct Entry
    {
        quint64 nId = 0;
        JsonCommand request;
        std::unique_ptr<Task> pTask;
        TaskRegistry::Handle registered;
        std::optional<int> nSentPercent; // the last percent the filter kept
    };

    void OnProgress(const QString& _qstrGuid, quint64 _nId, double _dPercent, const QString& _qstrStatus);
    void OnFinished(const QString& _qstrGuid, quint64 _nId, const TaskResult& _result);
    Entry* FindLive(const QString& _qstrGuid, quint64 _nId);
    JsonCommand AnsweredAs(const JsonCommand& _request) const;

    Style m_style;
    quint64 m_nLastId = 0;
    std::map<QString, Entry> m_mapEntries;
    // Stopped tasks still ending their work, by id; no longer addressable by their guid.
    std::map<quint64, std::unique_ptr<Task>> m_mapStopping;
};
