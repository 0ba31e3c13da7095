#include "system/AbilitySystemInfoTool.h"
#include "core/LogCategories.h"

#include "core/WorkerPool.h"
#include "system/SystemProbe.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <limits>
#include <memory>

namespace {

const char kDiskSpace[] = "query_disk_space";

} // namespace

const std::vector<AbilitySystemInfoTool::Row> AbilitySystemInfoTool::kCommands = {
    {"query_hardware", &AbilitySystemInfoTool::DealHardware, ReplyKind::Single, {0}},
    {kDiskSpace,
     &AbilitySystemInfoTool::DealDiskSpace,
     ReplyKind::Single,
     {0},
     nullptr,
     R"({"key":"<path>"})"},
    {"query_cpu", &AbilitySystemInfoTool::DealCpu, ReplyKind::Single, {0}},
    {"query_memory", &AbilitySystemInfoTool::DealMemory, ReplyKind::Single, {0}},
    {"query_top_process", &AbilitySystemInfoTool::DealTopProcess, ReplyKind::Single, {0}},
};

AbilitySystemInfoTool::AbilitySystemInfoTool() : AbilityTable(kCommands) {}

// A measurement still running answers nobody: its delivery finds the ability gone.
AbilitySystemInfoTool::~AbilitySystemInfoTool() = default;

Handled AbilitySystemInfoTool::Accept(const JsonCommand& _jsonCommand, Query _query)
{
    if (m_nWaiting >= kMaxWaitingQueries) {
        qCCritical(lcSystem) << "AbilitySystemInfoTool::DealCommand:too many queries waiting, refused:"
                             << _jsonCommand.guid;
        return Handled::Refused(Envelope::kAbilityNotDealt,
                                Envelope::CoreErrorText(Envelope::kAbilityNotDealt));
    }
    // The table names a task by its request's guid.
    if (Tasks().Contains(_jsonCommand.guid)) {
        qCCritical(lcSystem)
            << "AbilitySystemInfoTool::DealCommand:a query with this guid is waiting, refused:"
            << _jsonCommand.guid;
        return Handled::Refused(Envelope::kAbilityNotDealt,
                                Envelope::CoreErrorText(Envelope::kAbilityNotDealt));
    }
    return Handled::Started(std::make_unique<PendingQuery>(
        [this, _jsonCommand, _query](PendingQuery& _pending) { Join(_jsonCommand, _query, _pending); }));
}

void AbilitySystemInfoTool::Join(const JsonCommand& _jsonCommand, Query _query, PendingQuery& _pending)
{
    // A disk-space answer depends on the request's key; the other answers on nothing in it.
    const bool byData = _jsonCommand.command == QLatin1String(kDiskSpace);
    auto group = std::find_if(m_dequeGroups.begin(), m_dequeGroups.end(), [&](const Group& _group) {
        return _group.query == _query &&
               (!byData || _group.waiting.front().request.data == _jsonCommand.data);
    });
    if (group == m_dequeGroups.end())
        group = m_dequeGroups.insert(m_dequeGroups.end(), Group{_query, {}});
    group->waiting.push_back(Waiting{_jsonCommand, &_pending});
    ++m_nWaiting;
    StartNext();
}

void AbilitySystemInfoTool::StartNext()
{
    while (!m_blMeasuring && !m_dequeGroups.empty()) {
        Group group = std::move(m_dequeGroups.front());
        m_dequeGroups.pop_front();
        m_nWaiting -= group.waiting.size();
        const JsonCommand first = group.waiting.front().request;
        const Query query = group.query;
        auto waiting = std::make_shared<std::vector<Waiting>>(std::move(group.waiting));
        m_blMeasuring = WorkerPool::Service().Run(
            this, [first, query] { return query(first); },
            [this, waiting](CommandSystemInfoToolBody _body) {
                m_blMeasuring = false;
                Answer(*waiting, TaskResult{0, QString(), _body.ToString(), {}});
                StartNext();
            });
        if (m_blMeasuring) {
            ++m_nMeasurements;
            continue;
        }
        qCCritical(lcSystem)
            << "AbilitySystemInfoTool::StartNext:the worker pool refused a measurement, queries:"
            << waiting->size();
        Answer(*waiting, TaskResult{Envelope::kAbilityNotDealt,
                                    Envelope::CoreErrorText(Envelope::kAbilityNotDealt),
                                    QString(),
                                    {}});
    }
}

void AbilitySystemInfoTool::Answer(const std::vector<Waiting>& _vecWaiting, const TaskResult& _result)
{
    for (const Waiting& waiting : _vecWaiting) {
        if (_result.code == 0 && waiting.request.command == QLatin1String(kDiskSpace))
            qCDebug(lcSystem) << "AbilitySystemInfoTool::on_query_disk_space:answered";
        if (waiting.pending)
            waiting.pending->Complete(_result);
    }
}

CommandSystemInfoToolBody AbilitySystemInfoTool::QueryHardware(const JsonCommand&)
{
    CommandSystemInfoToolBody body;
    body.str = SystemProbe::GetHardwareInfo();
    return body;
}

CommandSystemInfoToolBody AbilitySystemInfoTool::QueryDiskSpace(const JsonCommand& _request)
{
    CommandSystemInfoToolBody request;
    request.LoadFromString(_request.data);
    CommandSystemInfoToolBody body;
    body.key = request.key;
    // More than 2^31 MiB cannot be told in 32 bits; saying the most it can beats a negative.
    const quint64 freeMB = SystemProbe::GetDiskFreeMB(request.key);
    body.num = static_cast<qint32>(std::min<quint64>(freeMB, std::numeric_limits<qint32>::max()));
    return body;
}

CommandSystemInfoToolBody AbilitySystemInfoTool::QueryCpu(const JsonCommand&)
{
    CommandSystemInfoToolBody body;
    body.num = static_cast<qint32>(SystemProbe::GetCpuUsage());
    return body;
}

CommandSystemInfoToolBody AbilitySystemInfoTool::QueryMemory(const JsonCommand&)
{
    CommandSystemInfoToolBody body;
    body.num = static_cast<qint32>(SystemProbe::GetMemoryUsage());
    return body;
}

CommandSystemInfoToolBody AbilitySystemInfoTool::QueryTopProcess(const JsonCommand&)
{
    std::vector<ProcessUsage> processes;
    SystemProbe::GetTopProcessList(processes);
    QJsonArray list;
    for (const ProcessUsage& process : processes) {
        QJsonObject item;
        item.insert(QStringLiteral("cpu"), static_cast<qint64>(process.cpu));
        item.insert(QStringLiteral("mem"), static_cast<qint64>(process.mem));
        item.insert(QStringLiteral("name"), process.name);
        item.insert(QStringLiteral("pid"), process.pid);
        list.append(item);
    }
    CommandSystemInfoToolBody body;
    body.str = QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
    return body;
}
