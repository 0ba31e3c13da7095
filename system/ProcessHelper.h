#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// Process functions of the process ability and the pre-uninstall handshake. Names are executable
// file names compared ignoring case; a name that is not a plain file name (empty, holding a
// wildcard, a path separator or a quote) matches no process.
namespace ProcessHelper {

// True when a running process answers to the executable file name.
bool CheckProcessRunning(const QString& _qstrName);
// CheckProcessRunning for each name, from one process list (one entry per name, same order).
std::vector<bool> CheckProcessesRunning(const QStringList& _listNames);
// Forcibly ends every process with that executable file name together with all its descendants;
// never this service or its ancestors. Returns once they have ended (bounded wait).
void KillProcess(const QString& _qstrName);
// Starts a program or opens a document without a window and returns once it has been launched.
// The started program does not belong to this service and outlives it.
bool StartProcess(const QString& _qstrPath);
// Opens a program or document the way the desktop does: a program is started, anything else
// goes to the default handler of its type.
bool ShellOpen(const QString& _qstrPath);

// A name that can only ever match a process's file name.
bool IsPlainProcessName(const QString& _qstrName);

constexpr int kKillWaitMs = 2000;

} // namespace ProcessHelper
