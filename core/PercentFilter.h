#pragma once

#include <QtGlobal>

#include <optional>

// Turns byte counts into the percentages sent to clients and decides which of them are worth a
// message: one is sent only when it moved more than the filter away from the last one kept.
class PercentFilter
{
public:
    // received × 100 ÷ total in single precision; 0 for an unknown or zero total, never NaN or
    // infinity.
    static double Percent(qint64 _nReceived, qint64 _nTotal);

    // _nStored: the value kept for the task, none before its first report. Returns the value to
    // keep from now on when _dPercent is to be sent (or, for the first report, only kept).
    struct Decision
    {
        bool blSend = false;
        int nStored = 0;
    };
    static Decision Filter(std::optional<int> _nStored, double _dPercent, int _nFilter);
};
