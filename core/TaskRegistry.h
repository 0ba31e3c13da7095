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

    // One task's place in the registry for as long as the handle lives; move-only.
    class Handle
    {
    public:
        Handle() = default;
        Handle(const QString& _qstrGuid, const QString& _qstrCommand, const QString& _qstrClient);
        Handle(Handle&& _other) noexcept;
        Handle& operator=(Handle&& _other) noexcept;
        Handle(const Handle&) = delete;
        Handle& operator=(const Handle&) = delete;
        ~Handle();
        void SetPercent(double _dPercent) const;

    private:
        quint64 m_nId = 0;
    };

    static TaskRegistry& Instance();

    // Tasks in guid order (two tasks may share a guid: each ability keeps its own tables).
    std::vector<Task> Snapshot() const;
    // The snapshot as [{"command","guid","client","percent"}...], percent null when unknown.
    QJsonArray ToJson() const;

private:
    quint64 Add(Task _task);
    void SetPercent(quint64 _nId, double _dPercent);
    void Remove(quint64 _nId);

    mutable std::mutex m_mutex;
    quint64 m_nLastId = 0;
    std::map<quint64, Task> m_mapTasks;
};
