#pragma once

#include <QtGlobal>

#include <map>
#include <utility>
#include <vector>

// Turns a stream of refused connections into at most one log line per key (a uid) per period,
// each line carrying how many were refused since that key's previous line, so that a flood of
// refusals cannot flood the log. Times are milliseconds of one monotonic clock.
class RefusalSummary
{
public:
    explicit RefusalSummary(qint64 _nPeriodMs = kPeriodMs) : m_nPeriodMs(_nPeriodMs) {}

    // One refusal of _nKey at _nNowMs: the count to log now, or 0 when it waits for a later line.
    int Note(qint64 _nKey, qint64 _nNowMs);
    // Keys whose period is over with refusals not yet logged: each with the count to log now.
    std::vector<std::pair<qint64, int>> Due(qint64 _nNowMs);
    // Milliseconds from _nNowMs until Due() has a line to give (0: now), -1 while no refusal
    // waits, so the caller can sleep until then instead of asking now and then.
    qint64 MsUntilDue(qint64 _nNowMs) const;

    static constexpr qint64 kPeriodMs = 60000;

private:
    struct Entry
    {
        qint64 lastLineMs = 0;
        int pending = 0; // refused since the last line
    };
    qint64 m_nPeriodMs;
    std::map<qint64, Entry> m_mapEntries;
};
