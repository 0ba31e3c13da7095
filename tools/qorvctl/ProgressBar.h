#pragma once

#include <QString>

// A one-line progress bar on standard error, drawn only when that is a terminal.
class ProgressBar
{
public:
    ProgressBar();

    void Show(double _dPercent, const QString& _qstrStatus);
    // Clears the bar so that a line printed on the same terminal stays readable.
    void Clear();

private:
    bool m_blEnabled;
    bool m_blShown = false;
};
