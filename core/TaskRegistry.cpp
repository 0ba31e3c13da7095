#include "core/TaskRegistry.h"

#include <QJsonObject>
#include <QJsonValue>

TaskRegistry& TaskRegistry::Instance()
{
    static TaskRegistry s_registry;
    return s_registry;
}

void TaskRegistry::Add(const QString& _qstrGuid, const QString& _qstrCommand, const QString& _qstrClient)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mapTasks[_qstrGuid] = Task{_qstrCommand, _qstrGuid, _qstrClient, std::nullopt};
}

void TaskRegistry::SetPercent(const QString& _qstrGuid, double _dPercent)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_mapTasks.find(_qstrGuid);
    if (it != m_mapTasks.end())
        it->second.percent = _dPercent;
}

void TaskRegistry::Remove(const QString& _qstrGuid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mapTasks.erase(_qstrGuid);
}

std::vector<TaskRegistry::Task> TaskRegistry::Snapshot() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Task> tasks;
    tasks.reserve(m_mapTasks.size());
    for (const auto& entry : m_mapTasks)
        tasks.push_back(entry.second);
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
