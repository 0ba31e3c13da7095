#pragma once

#include "core/StandardError.h"

#include <QString>

// Writes a crash report "<uuid>.dmp" into the dump folder when the process dies of a fatal
// signal or unhandled exception, then lets it die. The handlers are installed by the first call,
// before anything else runs; later calls only move the folder (made when a report needs it).
// The calling thread gets an alternate signal stack; other threads need a ThreadStack each.
namespace CrashHandler {

bool Install(const QString& _qstrDumpFolder);

// The crash line "BreakpadQt crash" also goes into the log, whatever its level, since a crash
// the log does not show is a crash nobody looks for. The logger hands over its current file (its
// handle as QFile gives it; again whenever the log continues in a new file), the local time's
// offset from UTC (the handler cannot look up the time zone) and where standard error leads.
void SetLogFile(int _nHandle);
void SetUtcOffset(int _nSeconds);
void SetEcho(StandardError::Kind _kind);

} // namespace CrashHandler
