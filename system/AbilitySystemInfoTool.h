#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"
#include "system/CommandSystemInfoToolBody.h"
#include "system/PendingQuery.h"

#include <QObject>
#include <QPointer>

#include <cstddef>
#include <deque>
#include <vector>

// Answers the read-only machine queries. Each query is a task of the ability's table that waits
// for a measurement; measurements run on the service's worker pool, one at a time; queries of the
// same kind (and, for disk space, the same request) that wait together are answered by one
// measurement, taken after they arrived.
class AbilitySystemInfoTool : public QObject, public AbilityTable<AbilitySystemInfoTool>
{
    Q_OBJECT
public:
    AbilitySystemInfoTool();
    ~AbilitySystemInfoTool() override;

    // Queries waiting for a measurement, all kinds together; a further one is refused (-4).
    static constexpr std::size_t kMaxWaitingQueries = 4096;
    // Measurements started so far.
    int Measurements() const { return m_nMeasurements; }

    // The answer body of each query; blocking, for the worker threads.
    static CommandSystemInfoToolBody QueryHardware(const JsonCommand& _request);
    static CommandSystemInfoToolBody QueryDiskSpace(const JsonCommand& _request);
    static CommandSystemInfoToolBody QueryCpu(const JsonCommand& _request);
    static CommandSystemInfoToolBody QueryMemory(const JsonCommand& _request);
    static CommandSystemInfoToolBody QueryTopProcess(const JsonCommand& _request);

private:
    using Query = CommandSystemInfoToolBody (*)(const JsonCommand&);
    Handled DealHardware(const JsonCommand& _jsonCommand) { return Accept(_jsonCommand, &QueryHardware); }
    Handled DealDiskSpace(const JsonCommand& _jsonCommand) { return Accept(_jsonCommand, &QueryDiskSpace); }
    Handled DealCpu(const JsonCommand& _jsonCommand) { return Accept(_jsonCommand, &QueryCpu); }
    Handled DealMemory(const JsonCommand& _jsonCommand) { return Accept(_jsonCommand, &QueryMemory); }
    Handled DealTopProcess(const JsonCommand& _jsonCommand) { return Accept(_jsonCommand, &QueryTopProcess); }
    // A task that joins a waiting group of its kind when it starts, or refuses it beyond the bound.
    Handled Accept(const JsonCommand& _jsonCommand, Query _query);
    void Join(const JsonCommand& _jsonCommand, Query _query, PendingQuery& _pending);
    // A query waiting for its group's measurement; the table may have dropped the task by then.
    struct Waiting
    {
        JsonCommand request;
        QPointer<PendingQuery> pending;
    };
    // Queries that one measurement answers.
    struct Group
    {
        Query query = nullptr;
        std::vector<Waiting> waiting;
    };
    // Hands the next group to the pool when no measurement runs; a group the pool refuses is
    // answered -4.
    void StartNext();
    static void Answer(const std::vector<Waiting>& _vecWaiting, const TaskResult& _result);

    static const std::vector<Row> kCommands;

    // Main thread only.
    std::deque<Group> m_dequeGroups; // waiting, in order of arrival
    std::size_t m_nWaiting = 0;
    bool m_blMeasuring = false;
    int m_nMeasurements = 0;
};
