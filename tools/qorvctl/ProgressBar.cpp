#include "tools/qorvctl/ProgressBar.h"

#include <unistd.h>

#include <cstdio>

ProgressBar::ProgressBar() : m_blEnabled(isatty(STDERR_FILENO) == 1) {}

void ProgressBar::Show(double _dPercent, const QString& _qstrStatus)
{
    if (!m_blEnabled)
        return;
    const double percent = qBound(0.0, _dPercent, 100.0);
    const int width = 30;
    const int filled = static_cast<int>(percent * width / 100.0);
    const QString bar = QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char(' '));
    std::fprintf(stderr, "\r\033[K[%s] %5.1f%% %s", bar.toLatin1().constData(), percent,
                 _qstrStatus.toLocal8Bit().constData());
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
