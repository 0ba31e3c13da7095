#include "core/RefusalLog.h"
#include "core/LogCategories.h"

#include <QDebug>

#include <climits>

RefusalLog::RefusalLog(const QString& _qstrLabel, qint64 _nPeriodMs)
    : m_qstrLabel(_qstrLabel), m_summary(_nPeriodMs)
{
    m_clock.start();
}

bool RefusalLog::Note(qint64 _nKey, const QString& _qstrText)
{
    m_mapLatest[_nKey] = _qstrText;
    const int count = m_summary.Note(_nKey, m_clock.elapsed());
    if (count > 0)
        Write(_nKey, count);
    return count > 0;
}

void RefusalLog::LogDue()
{
    for (const auto& due : m_summary.Due(m_clock.elapsed()))
        Write(due.first, due.second);
}

int RefusalLog::MsUntilDue() const
{
    return static_cast<int>(qMin<qint64>(m_summary.MsUntilDue(m_clock.elapsed()), INT_MAX));
}

void RefusalLog::Write(qint64 _nKey, int _nCount)
{
    qCWarning(lcService).noquote() << m_mapLatest[_nKey] + QStringLiteral("; ") + m_qstrLabel +
                                          QString::number(_nCount);
}
