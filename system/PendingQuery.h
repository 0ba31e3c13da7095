#pragma once

#include "core/Task.h"
#include "core/TaskResult.h"

#include <functional>
#include <utility>

// A query whose answer comes from work its ability shares or orders (one measurement for the
// queries that wait together, one lane for process actions): start() hands the query to the
// ability, which completes it with the answer when that work ends.
class PendingQuery : public Task
{
public:
    using Begin = std::function<void(PendingQuery&)>;

    explicit PendingQuery(Begin _begin) : m_begin(std::move(_begin)) {}

    void start() override { m_begin(*this); }
    // No command stops a query: the answer still comes when the shared work ends.
    void requestStop() override { MarkStopRequested(); }
    void Complete(TaskResult _result) { Finish(std::move(_result)); }

private:
    Begin m_begin;
};
