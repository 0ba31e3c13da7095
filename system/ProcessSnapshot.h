#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <vector>

// One process as the operating system lists it.
struct ProcessRecord
{
    qint64 pid = 0;
    qint64 parentPid = 0;
    // The executable's file name; empty when the process may not be inspected (another user's,
    // a kernel thread), as such processes cannot be opened for their data either.
    QString name;
    // Further names a user knows the process by: the file name of its first argument, a script's
    // own file name. Only filled by a snapshot taken with kNames.
    QStringList otherNames;
    quint64 workingSetBytes = 0;
    quint64 cpuTimeMs = 0;
    // Together with pid it tells one process from a later one that reused the pid.
    quint64 startTime = 0;
    // Ended and waiting for its parent to collect it: no longer running.
    bool exited = false;
};

namespace ProcessSnapshot {

enum Detail {
    kUsage, // name, memory, processor time
    kNames, // kUsage plus the further names (reads each process's arguments)
};

// Every process that can be listed, in ascending pid order. False when the process list
// itself cannot be read.
bool Take(Detail _eDetail, std::vector<ProcessRecord>& _vecOut);

// True when the name is one of the process's names, ignoring case.
bool AnswersTo(const ProcessRecord& _record, const QString& _qstrName);

} // namespace ProcessSnapshot
