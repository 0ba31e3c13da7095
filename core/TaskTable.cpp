#include "core/TaskTable.h"
#include "core/LogCategories.h"

#include "core/AbilityReply.h"
#include "core/Config.h"
#include "core/PercentFilter.h"
#include "core/TaskCodes.h"

#include <QDebug>

TaskTable::TaskTable(Style _style) : m_style(std::move(_style)) {}

TaskTable::~TaskTable()
{
    // Signals of tasks ending now must not reach a table that is going away.
    for (auto& entry : m_mapEntries)
        entry.second.pTask->disconnect(this);
    for (auto& stopping : m_mapStopping)
        stopping.second->disconnect(this);
    m_mapEntries.clear();
    m_mapStopping.clear();
}

Task* TaskTable::Find(const QString& _qstrGuid) const
{
    const auto it = m_mapEntries.find(_qstrGuid);
    return it == m_mapEntries.end() ? nullptr : it->second.pTask.get();
}

bool TaskTable::Any(const std::function<bool(const JsonCommand&, const Task&)>& _match) const
{
    for (const auto& entry : m_mapEntries)
        if (_match(entry.second.request, *entry.second.pTask))
            return true;
    return false;
}

void TaskTable::Start(const JsonCommand& _request, std::unique_ptr<Task> _pTask)
{
    if (Contains(_request.guid)) {
        qCCritical(lcCore).noquote() << "TaskTable:a task with this guid is running, refused:" +
                                            _request.guid;
        AbilityReply::Send(_request, Envelope::kAbilityNotDealt,
                           Envelope::CoreErrorText(Envelope::kAbilityNotDealt));
        return;
    }
    const quint64 id = ++m_nLastId;
    Task* task = _pTask.get();
    // Queued even from the main thread: an answer never overtakes the handler's return, and a
    // task never sees its table change under the emit.
    connect(
        task, &Task::progress, this,
        [this, guid = _request.guid, id](double _dPercent, const QString& _qstrStatus) {
            OnProgress(guid, id, _dPercent, _qstrStatus);
        },
        Qt::QueuedConnection);
    connect(
        task, &Task::finished, this,
        [this, guid = _request.guid, id](const TaskResult& _result) { OnFinished(guid, id, _result); },
        Qt::QueuedConnection);
    m_mapEntries[_request.guid] =
        Entry{id, _request, std::move(_pTask),
              TaskRegistry::Handle(_request.guid, _request.command, _request.from), std::nullopt};
    task->start();
}

void TaskTable::Stop(const JsonCommand& _stop, const QString& _qstrOf)
{
    const auto it = m_mapEntries.find(_stop.guid);
    if (it == m_mapEntries.end() || it->second.request.command != _qstrOf) {
        AbilityReply::Send(_stop, TaskCodes::kTaskNotExist, TaskCodes::Text(TaskCodes::kTaskNotExist),
                           m_style.notExistData);
        return;
    }
    Entry entry = std::move(it->second);
    m_mapEntries.erase(it);
    qCDebug(lcCore).noquote() << "TaskTable:stop requested:" + _qstrOf + " " + _stop.guid;
    entry.pTask->requestStop();
    m_mapStopping[entry.nId] = std::move(entry.pTask);
}

TaskTable::Entry* TaskTable::FindLive(const QString& _qstrGuid, quint64 _nId)
{
    // Matched by id as well: a stopped task's guid may already name a new one.
    const auto it = m_mapEntries.find(_qstrGuid);
    return it != m_mapEntries.end() && it->second.nId == _nId ? &it->second : nullptr;
}

void TaskTable::OnProgress(const QString& _qstrGuid, quint64 _nId, double _dPercent,
                           const QString& _qstrStatus)
{
    Entry* entry = FindLive(_qstrGuid, _nId);
    if (!entry)
        return;
    if (m_style.filtered) {
        const PercentFilter::Decision decision =
            PercentFilter::Filter(entry->nSentPercent, _dPercent, Config::Instance().GetPercentFilter());
        entry->nSentPercent = decision.nStored;
        if (!decision.blSend)
            return;
    }
    entry->registered.SetPercent(_dPercent);
    if (m_style.progressBody)
        AbilityReply::Send(AnsweredAs(entry->request), TaskCodes::kProgress, QString(),
                           m_style.progressBody(_dPercent, _qstrStatus));
}

void TaskTable::OnFinished(const QString& _qstrGuid, quint64 _nId, const TaskResult& _result)
{
    if (m_mapStopping.erase(_nId) != 0) {
        qCDebug(lcCore).noquote() << "TaskTable:stopped task ended:" + _qstrGuid;
        return;
    }
    Entry* entry = FindLive(_qstrGuid, _nId);
    if (!entry)
        return;
    // Out of the table before the answer, so a requester that asks at once no longer sees it.
    const JsonCommand request = AnsweredAs(entry->request);
    m_mapEntries.erase(_qstrGuid);
    AbilityReply::Send(request, _result);
}

JsonCommand TaskTable::AnsweredAs(const JsonCommand& _request) const
{
    if (m_style.answerSuffix.isEmpty())
        return _request;
    JsonCommand answered = _request;
    answered.command += m_style.answerSuffix;
    return answered;
}
