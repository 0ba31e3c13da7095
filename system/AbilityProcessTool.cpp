#include "system/AbilityProcessTool.h"
#include "core/LogCategories.h"

#include "core/AbilityReply.h"
#include "system/ProcessHelper.h"

#include <QDebug>
#include <QFileInfo>

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

AbilityProcessTool::~AbilityProcessTool()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_timer.stop();
}

QMap<QString, QString> AbilityProcessTool::KeptPrograms()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_mapKeepProc;
}

bool AbilityProcessTool::IsWatching()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_timer.isActive();
}

void AbilityProcessTool::DealStartProc(const JsonCommand& _jsonCommand)
{
    qCWarning(lcSystem) << "AbilityProcessTool::DealStartProc:" << _jsonCommand.data;
    ProcessHelper::ShellOpen(_jsonCommand.data);
}

void AbilityProcessTool::DealQueryProc(const JsonCommand& _jsonCommand)
{
    if (ProcessHelper::CheckProcessRunning(_jsonCommand.data))
        AbilityReply::Send(_jsonCommand, kProcExist, QStringLiteral("exist"));
    else
        AbilityReply::Send(_jsonCommand, kProcNotExist, QStringLiteral("not exist"));
}

void AbilityProcessTool::DealKeepProc(const JsonCommand& _jsonCommand)
{
    const QString path = _jsonCommand.data;
    const QFileInfo info(path);
    const QString name = info.fileName();
    // Without a plain file name nothing could ever be found running, so the watchdog would start
    // the path again every second; a document would be opened again every second.
    if (!ProcessHelper::IsPlainProcessName(name) ||
        (info.exists() && !(info.isFile() && info.isExecutable()))) {
        qCWarning(lcSystem) << "AbilityProcessTool::DealKeepProc:not a program, not kept:" << path;
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_mapKeepProc.insert(name, path);
    qCWarning(lcSystem) << "AbilityProcessTool::DealKeepProc:keep" << name << path;
    if (!m_timer.isActive())
        m_timer.start(kKeepIntervalMs);
}

void AbilityProcessTool::DealStopProc(const JsonCommand& _jsonCommand)
{
    const QString name = _jsonCommand.data;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        // Table keys compare exactly; the kill below matches names ignoring case.
        if (m_mapKeepProc.remove(name) > 0) {
            qCWarning(lcSystem) << "AbilityProcessTool::DealStopProc:no longer kept:" << name;
            if (m_mapKeepProc.isEmpty())
                m_timer.stop();
        }
    }
    ProcessHelper::KillProcess(name);
}

void AbilityProcessTool::OnTimer()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    // One process list serves every kept program.
    const std::vector<bool> running = ProcessHelper::CheckProcessesRunning(m_mapKeepProc.keys());
    size_t index = 0;
    for (auto it = m_mapKeepProc.constBegin(); it != m_mapKeepProc.constEnd(); ++it) {
        if (running[index++])
            continue;
        const QFileInfo info(it.value());
        // A path that became a document or a folder is not opened over and over; a missing one
        // is tried again on every tick.
        if (info.exists() && !(info.isFile() && info.isExecutable())) {
            qCDebug(lcSystem) << "AbilityProcessTool::OnTimer:not a program:" << it.value();
            continue;
        }
        ProcessHelper::ShellOpen(it.value());
    }
}
