#include "core/PercentFilter.h"

#include <cmath>

double PercentFilter::Percent(qint64 _nReceived, qint64 _nTotal)
{
    if (_nTotal <= 0)
        return 0;
    const float percent = static_cast<float>(_nReceived) * 100.0f / static_cast<float>(_nTotal);
    return std::isfinite(percent) ? static_cast<double>(percent) : 0;
}

PercentFilter::Decision PercentFilter::Filter(std::optional<int> _nStored, double _dPercent, int _nFilter)
{
    if (!std::isfinite(_dPercent))
        _dPercent = 0;
    const int truncated = static_cast<int>(std::trunc(qBound(-1e9, _dPercent, 1e9)));
    if (!_nStored)
        return {false, truncated};
    if (std::fabs(*_nStored - _dPercent) > _nFilter)
        return {true, truncated};
    return {false, *_nStored};
}
