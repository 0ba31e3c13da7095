#pragma once

#include "core/RefusalSummary.h"

#include <QElapsedTimer>
#include <QString>

#include <map>

// Writes refusals that a peer can cause at will as warning lines "<text>; <label><count>", at
// most one per key (a uid) per period: the first refusal of a key at once, the rest of its
// period in one line when the period is over, with the text of the latest. Not thread-safe: one
// thread, or one mutex, per instance.
class RefusalLog
{
public:
    // _qstrLabel names the count, e.g. "refused since the last line: ".
    explicit RefusalLog(const QString& _qstrLabel, qint64 _nPeriodMs = RefusalSummary::kPeriodMs);

    // One refusal of _nKey, _qstrText saying what was refused. True when a line was written now.
    bool Note(qint64 _nKey, const QString& _qstrText);
    // Writes the lines whose period is over; call at the latest after MsUntilDue().
    void LogDue();
    // Milliseconds until LogDue() has a line to write (0: now), -1 while none waits.
    int MsUntilDue() const;

private:
    void Write(qint64 _nKey, int _nCount);

    QString m_qstrLabel;
    RefusalSummary m_summary;
    QElapsedTimer m_clock;
    std::map<qint64, QString> m_mapLatest; // per key; keys are few (uids, kinds of refusal)
};
