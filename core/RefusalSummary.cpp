#include "core/RefusalSummary.h"

int RefusalSummary::Note(qint64 _nKey, qint64 _nNowMs)
{
    const auto it = m_mapEntries.find(_nKey);
    if (it == m_mapEntries.end()) {
        m_mapEntries.emplace(_nKey, Entry{_nNowMs, 0});
        return 1;
    }
    Entry& entry = it->second;
    ++entry.pending;
    if (_nNowMs - entry.lastLineMs < m_nPeriodMs)
        return 0;
    const int count = entry.pending;
    entry = Entry{_nNowMs, 0};
    return count;
}

qint64 RefusalSummary::MsUntilDue(qint64 _nNowMs) const
{
    qint64 wait = -1;
    for (const auto& key : m_mapEntries) {
        const Entry& entry = key.second;
        if (entry.pending == 0)
            continue;
        const qint64 left = qMax<qint64>(0, entry.lastLineMs + m_nPeriodMs - _nNowMs);
        wait = wait < 0 ? left : qMin(wait, left);
    }
    return wait;
}

std::vector<std::pair<qint64, int>> RefusalSummary::Due(qint64 _nNowMs)
{
    std::vector<std::pair<qint64, int>> due;
    for (auto it = m_mapEntries.begin(); it != m_mapEntries.end();) {
        Entry& entry = it->second;
        if (_nNowMs - entry.lastLineMs < m_nPeriodMs) {
            ++it;
        } else if (entry.pending > 0) {
            due.emplace_back(it->first, entry.pending);
            entry = Entry{_nNowMs, 0};
            ++it;
        } else {
            // A quiet period: the key's next refusal is logged at once.
            it = m_mapEntries.erase(it);
        }
    }
    return due;
}
