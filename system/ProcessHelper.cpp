#include "system/ProcessHelper.h"
#include "core/LogCategories.h"

#include "system/ProcessSnapshot.h"

#include <QDebug>

namespace ProcessHelper {

bool CheckProcessRunning(const QString& _qstrName)
{
    qCDebug(lcSystem).noquote() << QStringLiteral("ProcessHelper::CheckProcessRunning") +
                                       QStringLiteral(" begin.");
    const bool running = CheckProcessesRunning({_qstrName}).front();
    if (!running)
        qCDebug(lcSystem).noquote() << QStringLiteral("ProcessHelper::CheckProcessRunning") +
                                           QStringLiteral(" end:")
                                    << false;
    return running;
}

std::vector<bool> CheckProcessesRunning(const QStringList& _listNames)
{
    std::vector<bool> running(static_cast<size_t>(_listNames.size()), false);
    std::vector<ProcessRecord> processes;
    if (!ProcessSnapshot::Take(ProcessSnapshot::kNames, processes)) {
        qCDebug(lcSystem) << "Checking process:INVALID_HANDLE_VALUE";
        return running;
    }
    if (processes.empty())
        qCDebug(lcSystem) << "Process32First failed!";
    for (int i = 0; i < _listNames.size(); ++i) {
        if (!IsPlainProcessName(_listNames[i]))
            continue;
        for (const ProcessRecord& process : processes)
            if (!process.exited && ProcessSnapshot::AnswersTo(process, _listNames[i])) {
                qCDebug(lcSystem).noquote()
                    << (process.name.isEmpty() ? process.otherNames.value(0) : process.name) + " found.";
                running[static_cast<size_t>(i)] = true;
                break;
            }
    }
    return running;
}

bool IsPlainProcessName(const QString& _qstrName)
{
    if (_qstrName.isEmpty() || _qstrName == QLatin1String(".") || _qstrName == QLatin1String(".."))
        return false;
    for (const QChar c : _qstrName) {
        // Wildcards and quotes have meaning to the tools that kill by name; separators make a
        // path. None of them can be part of a name we compare.
        if (c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('/') ||
            c == QLatin1Char('\\') || c == QLatin1Char('"') || c == QLatin1Char('\'') ||
            c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

} // namespace ProcessHelper
