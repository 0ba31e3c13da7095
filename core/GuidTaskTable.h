#pragma once

// Being replaced by TaskTable: the abilities move to tasks one by one.

#include "core/AbilityReply.h"
#include "core/JsonCommand.h"
#include "core/PercentFilter.h"
#include "core/TaskCodes.h"
#include "core/TaskRegistry.h"

#include <QString>

#include <map>
#include <memory>
#include <optional>

// The running tasks of one kind, named by the guid of the request that started them. The entry
// is the worker's only owner: taking it out stops and destroys the worker. Every entry is listed
// in the task registry while it lives. Not locked: the ability's own lock guards its tables.
template <class Worker, class Extra = bool> class GuidTaskTable
{
public:
    struct Entry
    {
        std::shared_ptr<Worker> pWorker;
        JsonCommand request;
        Extra extra{};
        TaskRegistry::Handle registered;
        std::optional<int> nSentPercent; // the last percent a filtered progress kept
    };

    bool Contains(const QString& _qstrGuid) const { return m_mapEntries.count(_qstrGuid) != 0; }
    std::size_t Size() const { return m_mapEntries.size(); }
    const std::map<QString, Entry>& Entries() const { return m_mapEntries; }

    Entry& Add(const JsonCommand& _request, std::shared_ptr<Worker> _pWorker, Extra _extra = Extra{})
    {
        Entry& entry = m_mapEntries[_request.guid];
        entry = Entry{std::move(_pWorker), _request, std::move(_extra),
                      TaskRegistry::Handle(_request.guid, _request.command, _request.from), std::nullopt};
        return entry;
    }

    Entry* Find(const QString& _qstrGuid)
    {
        const auto it = m_mapEntries.find(_qstrGuid);
        return it == m_mapEntries.end() ? nullptr : &it->second;
    }

    // The task a stop or an answer names; when there is none, the requester is told so here.
    Entry* FindOrRefuse(const JsonCommand& _request, const QString& _qstrData = QString())
    {
        Entry* entry = Find(_request.guid);
        if (!entry)
            AbilityReply::Send(_request, TaskCodes::kTaskNotExist, TaskCodes::Text(TaskCodes::kTaskNotExist),
                               _qstrData);
        return entry;
    }

    // Removes the task and hands its worker back, so the caller chooses when it is destroyed.
    std::shared_ptr<Worker> Take(const QString& _qstrGuid)
    {
        std::shared_ptr<Worker> worker;
        const auto it = m_mapEntries.find(_qstrGuid);
        if (it != m_mapEntries.end()) {
            worker = std::move(it->second.pWorker);
            m_mapEntries.erase(it);
        }
        return worker;
    }

    void Clear() { m_mapEntries.clear(); }

    // Sends a progress answer (code 0) carrying _qstrData and records the percent.
    static void SendProgress(Entry& _entry, double _dPercent, const QString& _qstrData)
    {
        _entry.registered.SetPercent(_dPercent);
        AbilityReply::Send(_entry.request, TaskCodes::kProgress, QString(), _qstrData);
    }

    // True when _dPercent moved more than _nFilter points from the last one sent; the first
    // report only sets the starting point.
    static bool PassesFilter(Entry& _entry, double _dPercent, int _nFilter)
    {
        const PercentFilter::Decision decision =
            PercentFilter::Filter(_entry.nSentPercent, _dPercent, _nFilter);
        _entry.nSentPercent = decision.nStored;
        return decision.blSend;
    }

    // Ends the task with its final answer.
    void Finish(const QString& _qstrGuid, qint64 _nCode, const QString& _qstrError,
                const QString& _qstrData = QString())
    {
        if (Entry* entry = Find(_qstrGuid))
            AbilityReply::Send(entry->request, _nCode, _qstrError, _qstrData);
        Take(_qstrGuid);
    }

private:
    std::map<QString, Entry> m_mapEntries;
};
