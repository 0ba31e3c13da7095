#include "install/ProgressThrottle.h"

ProgressThrottle::ProgressThrottle(qint64 _nTotal, qint64 _nMaxReports)
    : m_nTotal(_nTotal), m_nStep((_nTotal + _nMaxReports - 1) / _nMaxReports)
{
}

bool ProgressThrottle::Pass(qint64 _nDone)
{
    if (_nDone - m_nReported < m_nStep && _nDone != m_nTotal)
        return false;
    m_nReported = _nDone;
    return true;
}
