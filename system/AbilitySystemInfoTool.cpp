#include "system/AbilitySystemInfoTool.h"

#include "core/AbilityReply.h"
#include "core/CommandTable.h"
#include "core/MessageService.h"
#include "core/ServiceThread.h"
#include "system/SystemProbe.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <limits>
#include <system_error>
#include <thread>

namespace {

struct CommandEntry
{
    const char* name;
    CommandSystemInfoToolBody (*query)(const JsonCommand&);
};

const CommandEntry kCommands[] = {
    {"query_hardware", &AbilitySystemInfoTool::QueryHardware},
    {"query_disk_space", &AbilitySystemInfoTool::QueryDiskSpace},
    {"query_cpu", &AbilitySystemInfoTool::QueryCpu},
    {"query_memory", &AbilitySystemInfoTool::QueryMemory},
    {"query_top_process", &AbilitySystemInfoTool::QueryTopProcess},
};

const char kDiskSpace[] = "query_disk_space";

} // namespace

AbilitySystemInfoTool::AbilitySystemInfoTool() : m_pShared(std::make_shared<Shared>())
{
    m_pShared->pOwner = this;
    connect(this, &AbilitySystemInfoTool::signQuerySystemInfoResult, this,
            &AbilitySystemInfoTool::slotQuerySystemInfoResult, Qt::QueuedConnection);
}

AbilitySystemInfoTool::~AbilitySystemInfoTool()
{
    // After this no worker can emit; answers already queued are dropped with the object.
    std::lock_guard<std::mutex> lock(m_pShared->mutexOwner);
    m_pShared->pOwner = nullptr;
}

std::vector<QString> AbilitySystemInfoTool::GetAbilities()
{
    return CommandTable::Names(kCommands);
}

bool AbilitySystemInfoTool::DealCommand(const JsonCommand& _jsonCommand)
{
    const CommandEntry* entry = CommandTable::Find(kCommands, _jsonCommand);
    if (!entry)
        return false;
    try {
        StartServiceThread(&AbilitySystemInfoTool::RunQuery, m_pShared, _jsonCommand, entry->query).detach();
    } catch (const std::system_error& error) {
        qCritical() << "AbilitySystemInfoTool::DealCommand:cannot start a query thread:" << error.what();
    }
    return true;
}

void AbilitySystemInfoTool::RunQuery(std::shared_ptr<Shared> _pShared, JsonCommand _request, Query _query)
{
    std::lock_guard<std::mutex> queryLock(_pShared->mutexQuery);
    const CommandSystemInfoToolBody body = _query(_request);
    const QString text =
        QString::fromUtf8(AbilityReply::Build(_request, 0, QString(), body.ToString()).ToString());
    if (_request.command == QLatin1String(kDiskSpace))
        qDebug() << "AbilitySystemInfoTool::on_query_disk_space:emit signQuerySystemInfoResult";
    std::lock_guard<std::mutex> ownerLock(_pShared->mutexOwner);
    if (_pShared->pOwner)
        emit _pShared->pOwner->signQuerySystemInfoResult(text);
}

void AbilitySystemInfoTool::slotQuerySystemInfoResult(QString qstrJsonCommand)
{
    qDebug() << "AbilitySystemInfoTool::slotQuerySystemInfoResult";
    MessageService::Instance().OnMessageReceived(Envelope::kServiceName.toUtf8(), qstrJsonCommand.toUtf8());
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
