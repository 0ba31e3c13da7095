#pragma once

#include <QJsonArray>
#include <QString>

#include <map>
#include <mutex>
#include <optional>
#include <vector>

// Every running task of every ability, readable from any thread: the task tables add and remove
// their entries here, so a status query needs no hop to the abilities' thread.
class TaskRegistry
{
public:
    struct Task
    {
        QString command;
        QString guid;
        QString client;
        std::optional<double> percent; // none until the task reports one
    };

    static TaskRegistry& Instance();

    void Add(const QString& _qstrGuid, const QString& _qstrCommand, const QString& _qstrClient);
    void SetPercent(const QString& _qstrGuid, double _dPercent);
    void Remove(const QString& _qstrGuid);
    // Tasks in guid order.
    std::vector<Task> Snapshot() const;
    // The snapshot as [{"command","guid","client","percent"}...], percent null when unknown.
    QJsonArray ToJson() const;

private:
    mutable std::mutex m_mutex;
    std::map<QString, Task> m_mapTasks;
};
