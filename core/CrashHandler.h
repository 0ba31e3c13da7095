#pragma once

#include <QString>

// Writes a crash report "<uuid>.dmp" into the dump folder when the process dies of a fatal
// signal or unhandled exception, then lets it die. Installed once per process.
namespace CrashHandler {

bool Install(const QString& _qstrDumpFolder);

} // namespace CrashHandler
