#pragma once

#include <QByteArray>
#include <QList>

// Runs a program found on PATH with an argument list (never a shell line, so arguments reach it
// unchanged) and standard input closed, bounded in time: a program still running at the deadline
// is killed, and what it printed so far is kept. Blocks the calling thread until then.
namespace BoundedChild {

struct Result
{
    bool started = false;
    bool timedOut = false;
    bool exitedNormally = false;
    int exitCode = -1;
    QByteArray output; // standard output, and standard error when merged; at most the cap
};

Result Run(const QByteArray& _baProgram, const QList<QByteArray>& _listArgs, int _nTimeoutMs,
           int _nMaxOutputBytes = 1024 * 1024, bool _blMergeStderr = false);

} // namespace BoundedChild
