#include "tools/qorvctl/ProgressBar.h"

#include <unistd.h>

#include <cstdio>

ProgressBar::ProgressBar() : m_blEnabled(isatty(STDERR_FILENO) == 1) {}

void ProgressBar::Start()
{
    m_timer.start();
    m_dFirstPercent = -1;
}

QString ProgressBar::Clock(qint64 _nMs)
{
    const qint64 seconds = qMax<qint64>(0, _nMs) / 1000;
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600)
            .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

qint64 ProgressBar::Estimate(double _dFromPercent, qint64 _nFromMs, double _dPercent, qint64 _nNowMs)
{
    const double done = _dPercent - _dFromPercent;
    const qint64 spent = _nNowMs - _nFromMs;
    // Too little seen to tell a pace.
    if (_dFromPercent < 0 || done < 0.1 || spent < 500 || _dPercent >= 100)
        return -1;
    return static_cast<qint64>((100.0 - _dPercent) * static_cast<double>(spent) / done);
}

QString ProgressBar::Text(double _dPercent, const QString& _qstrStatus, qint64 _nElapsedMs, qint64 _nLeftMs)
{
    const double percent = qBound(0.0, _dPercent, 100.0);
    const int width = 30;
    const int filled = static_cast<int>(percent * width / 100.0);
    QString text = QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
                   QString(width - filled, QLatin1Char(' ')) + QStringLiteral("] ") +
                   QStringLiteral("%1%").arg(percent, 5, 'f', 1) + QLatin1Char(' ') + Clock(_nElapsedMs);
    text += _nLeftMs >= 0 ? QStringLiteral(" left ") + Clock(_nLeftMs) : QStringLiteral(" left -:--");
    if (!_qstrStatus.isEmpty())
        text += QLatin1Char(' ') + _qstrStatus;
    return text;
}

void ProgressBar::Show(double _dPercent, const QString& _qstrStatus)
{
    if (!m_blEnabled)
        return;
    if (!m_timer.isValid())
        m_timer.start();
    const qint64 now = m_timer.elapsed();
    if (m_dFirstPercent < 0) {
        m_dFirstPercent = _dPercent;
        m_nFirstMs = now;
    }
    const QString text =
        Text(_dPercent, _qstrStatus, now, Estimate(m_dFirstPercent, m_nFirstMs, _dPercent, now));
    std::fprintf(stderr, "\r\033[K%s", text.toLocal8Bit().constData());
    std::fflush(stderr);
    m_blShown = true;
}

void ProgressBar::Clear()
{
    if (m_blShown) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        m_blShown = false;
    }
}
