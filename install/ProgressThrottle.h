#pragma once

#include <QtGlobal>

// Decides which of a run's progress points are reported: one after each unit of work, but none
// that moved less than 1/_nMaxReports of the total since the last one reported, so a tree of
// tiny files does not send its owner (and every client) one message per file. The end (done ==
// total) is always reported.
class ProgressThrottle
{
public:
    ProgressThrottle(qint64 _nTotal, qint64 _nMaxReports);

    // True when _nDone (bytes so far, never falling) is to be reported; it then counts as reported.
    bool Pass(qint64 _nDone);

private:
    qint64 m_nTotal;
    qint64 m_nStep;
    qint64 m_nReported = 0;
};
