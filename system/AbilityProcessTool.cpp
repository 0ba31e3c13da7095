#include "system/AbilityProcessTool.h"
#include "core/LogCategories.h"

#include "system/PendingQuery.h"
#include "system/ProcessHelper.h"

#include <QDebug>
#include <QFileInfo>
#include <QPointer>

namespace {

Handled Refused()
{
    return Handled::Refused(Envelope::kAbilityNotDealt, Envelope::CoreErrorText(Envelope::kAbilityNotDealt));
}

} // namespace

const std::vector<AbilityProcessTool::Row> AbilityProcessTool::kCommands = {
    {"start_proc", &AbilityProcessTool::DealStartProc, ReplyKind::Silent, {}},
    {"query_proc", &AbilityProcessTool::DealQueryProc, ReplyKind::Single, {kProcExist}},
    {"keep_proc", &AbilityProcessTool::DealKeepProc, ReplyKind::Silent, {}},
    {"stop_proc", &AbilityProcessTool::DealStopProc, ReplyKind::Silent, {}},
};

AbilityProcessTool::AbilityProcessTool() : AbilityTable(kCommands)
{
    connect(&m_timer, &QTimer::timeout, this, &AbilityProcessTool::OnTimer);
}

AbilityProcessTool::~AbilityProcessTool() = default;

Handled AbilityProcessTool::DealStartProc(const JsonCommand& _jsonCommand)
{
    qCWarning(lcSystem) << "AbilityProcessTool::DealStartProc:" << _jsonCommand.data;
    // Started from the main thread, after the actions asked for before it.
    const QString path = _jsonCommand.data;
    if (!m_lane.Queue([path] { return ProcessLane::Then([path] { ProcessHelper::ShellOpen(path); }); }))
        return Refused();
    return Handled::Quiet();
}

Handled AbilityProcessTool::DealQueryProc(const JsonCommand& _jsonCommand)
{
    if (m_lane.IsFull())
        return Refused();
    // The table names a task by its request's guid.
    if (Tasks().Contains(_jsonCommand.guid)) {
        qCCritical(lcSystem)
            << "AbilityProcessTool::DealQueryProc:a query with this guid is waiting, refused:"
            << _jsonCommand.guid;
        return Refused();
    }
    const QString name = _jsonCommand.data;
    return Handled::Started(std::make_unique<PendingQuery>([this, name](PendingQuery& _pending) {
        QPointer<PendingQuery> pending(&_pending);
        const auto refuse = [pending] {
            if (pending)
                pending->Complete(TaskResult{
                    Envelope::kAbilityNotDealt, Envelope::CoreErrorText(Envelope::kAbilityNotDealt), {}, {}});
        };
        const bool queued = m_lane.Queue(
            [name, pending] {
                const bool running = ProcessHelper::CheckProcessRunning(name);
                return ProcessLane::Then([pending, running] {
                    if (!pending)
                        return;
                    pending->Complete(running
                                          ? TaskResult{kProcExist, QStringLiteral("exist"), {}, {}}
                                          : TaskResult{kProcNotExist, QStringLiteral("not exist"), {}, {}});
                });
            },
            refuse);
        if (!queued)
            refuse();
    }));
}

Handled AbilityProcessTool::DealKeepProc(const JsonCommand& _jsonCommand)
{
    const QString path = _jsonCommand.data;
    const QFileInfo info(path);
    const QString name = info.fileName();
    // Without a plain file name nothing could ever be found running, so the watchdog would start
    // the path again every second; a document would be opened again every second.
    if (!ProcessHelper::IsPlainProcessName(name) ||
        (info.exists() && !(info.isFile() && info.isExecutable()))) {
        qCWarning(lcSystem) << "AbilityProcessTool::DealKeepProc:not a program, not kept:" << path;
        return Handled::Quiet();
    }
    m_mapKeepProc.insert(name, path);
    qCWarning(lcSystem) << "AbilityProcessTool::DealKeepProc:keep" << name << path;
    if (!m_timer.isActive())
        m_timer.start(kKeepIntervalMs);
    return Handled::Quiet();
}

Handled AbilityProcessTool::DealStopProc(const JsonCommand& _jsonCommand)
{
    if (m_lane.IsFull())
        return Refused();
    const QString name = _jsonCommand.data;
    // Table keys compare exactly; the kill below matches names ignoring case.
    if (m_mapKeepProc.remove(name) > 0) {
        qCWarning(lcSystem) << "AbilityProcessTool::DealStopProc:no longer kept:" << name;
        if (m_mapKeepProc.isEmpty())
            m_timer.stop();
    }
    // The kill waits for the ends (bounded), on the pool.
    m_lane.Queue([name] {
        ProcessHelper::KillProcess(name);
        return ProcessLane::Then();
    });
    return Handled::Quiet();
}

void AbilityProcessTool::OnTimer()
{
    if (m_blScanning || m_mapKeepProc.isEmpty())
        return;
    // One process list serves every kept program.
    const QStringList names = m_mapKeepProc.keys();
    m_blScanning = m_lane.Queue(
        [this, names] {
            const std::vector<bool> running = ProcessHelper::CheckProcessesRunning(names);
            return ProcessLane::Then([this, names, running] {
                m_blScanning = false;
                StartMissing(names, running);
            });
        },
        [this] { m_blScanning = false; });
}

void AbilityProcessTool::StartMissing(const QStringList& _listNames, const std::vector<bool>& _vecRunning)
{
    for (int i = 0; i < _listNames.size(); ++i) {
        // A program no longer kept since the list was asked for stays stopped.
        const auto kept = m_mapKeepProc.constFind(_listNames.at(i));
        if (_vecRunning[static_cast<size_t>(i)] || kept == m_mapKeepProc.constEnd())
            continue;
        const QFileInfo info(kept.value());
        // A path that became a document or a folder is not opened over and over; a missing one
        // is tried again on every tick.
        if (info.exists() && !(info.isFile() && info.isExecutable())) {
            qCDebug(lcSystem) << "AbilityProcessTool::OnTimer:not a program:" << kept.value();
            continue;
        }
        ProcessHelper::ShellOpen(kept.value());
    }
}
