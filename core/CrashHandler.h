#pragma once

#include <QString>

// Writes a crash report "<uuid>.dmp" into the dump folder when the process dies of a fatal
// signal or unhandled exception, then lets it die. The handlers are installed by the first call,
// before anything else runs; later calls only move the folder (made when a report needs it).
// The calling thread gets an alternate signal stack; other threads need a ThreadStack each.
namespace CrashHandler {

bool Install(const QString& _qstrDumpFolder);

} // namespace CrashHandler
