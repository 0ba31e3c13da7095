#include "core/TaskRegistry.h"

#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <utility>

TaskRegistry& TaskRegistry::Instance()
{
    static TaskRegistry s_registry;
    return s_registry;
}

TaskRegistry::Handle::Handle(const QString& _qstrGuid, const QString& _qstrCommand,
                             const QString& _qstrClient)
    : m_nId(Instance().Add(Task{_qstrCommand, _qstrGuid, _qstrClient, std::nullopt}))
{
}

TaskRegistry::Handle::Handle(Handle&& _other) noexcept : m_nId(std::exchange(_other.m_nId, 0)) {}

TaskRegistry::Handle& TaskRegistry::Handle::operator=(Handle&& _other) noexcept
{
    if (this != &_other) {
        if (m_nId)
            Instance().Remove(m_nId);
        m_nId = std::exchange(_other.m_nId, 0);
    }
    return *this;
}

TaskRegistry::Handle::~Handle()
{
    if (m_nId)
        Instance().Remove(m_nId);
}

void TaskRegistry::Handle::SetPercent(double _dPercent) const
{
    if (m_nId)
        Instance().SetPercent(m_nId, _dPercent);
}

quint64 TaskRegistry::Add(Task _task)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mapTasks.emplace(++m_nLastId, std::move(_task));
    return m_nLastId;
}

void TaskRegistry::SetPercent(quint64 _nId, double _dPercent)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_mapTasks.find(_nId);
    if (it != m_mapTasks.end())
        it->second.percent = _dPercent;
}

void TaskRegistry::Remove(quint64 _nId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mapTasks.erase(_nId);
}

std::vector<TaskRegistry::Task> TaskRegistry::Snapshot() const
{
    std::vector<Task> tasks;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        tasks.reserve(m_mapTasks.size());
        for (const auto& entry : m_mapTasks)
            tasks.push_back(entry.second);
    }
    std::stable_sort(tasks.begin(), tasks.end(),
                     [](const Task& _a, const Task& _b) { return _a.guid < _b.guid; });
    return tasks;
}

QJsonArray TaskRegistry::ToJson() const
{
    QJsonArray tasks;
    for (const Task& task : Snapshot()) {
        QJsonObject row{{QStringLiteral("command"), task.command},
                        {QStringLiteral("guid"), task.guid},
                        {QStringLiteral("client"), task.client}};
        row.insert(QStringLiteral("percent"), task.percent ? QJsonValue(*task.percent) : QJsonValue());
        tasks.append(row);
    }
    return tasks;
}
