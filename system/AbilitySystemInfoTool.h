#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"
#include "system/CommandSystemInfoToolBody.h"

#include <QObject>

#include <cstddef>
#include <deque>
#include <vector>

// Answers the read-only machine queries. Measurements run on the service's worker pool, one at a
// time; queries of the same kind (and, for disk space, the same request) that wait together are
// answered by one measurement, taken after they arrived. Answers reach the hub from the main thread.
class AbilitySystemInfoTool : public QObject, public AbilityTable<AbilitySystemInfoTool>
{
    Q_OBJECT
public:
    AbilitySystemInfoTool();
    ~AbilitySystemInfoTool() override;

    // Queries waiting for a measurement, all kinds together; a further one is refused (the hub's -4).
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
    void DealHardware(const JsonCommand& _jsonCommand) { Enqueue(_jsonCommand, &QueryHardware); }
    void DealDiskSpace(const JsonCommand& _jsonCommand) { Enqueue(_jsonCommand, &QueryDiskSpace); }
    void DealCpu(const JsonCommand& _jsonCommand) { Enqueue(_jsonCommand, &QueryCpu); }
    void DealMemory(const JsonCommand& _jsonCommand) { Enqueue(_jsonCommand, &QueryMemory); }
    void DealTopProcess(const JsonCommand& _jsonCommand) { Enqueue(_jsonCommand, &QueryTopProcess); }
    // Joins the query to a waiting group of its kind, or starts one.
    void Enqueue(const JsonCommand& _jsonCommand, Query _query);
    // Queries that one measurement answers.
    struct Group
    {
        Query query = nullptr;
        std::vector<JsonCommand> requests;
    };
    // Hands the next group to the pool when no measurement runs; a group the pool refuses is
    // answered with the hub's -4.
    void StartNext();
    void Answer(const std::vector<JsonCommand>& _vecRequests, const CommandSystemInfoToolBody& _body);

    static const std::vector<Row> kCommands;

    // Main thread only.
    std::deque<Group> m_dequeGroups; // waiting, in order of arrival
    std::size_t m_nWaiting = 0;
    bool m_blMeasuring = false;
    int m_nMeasurements = 0;
};
