#pragma once

#include <QElapsedTimer>
#include <QString>

// A one-line progress bar on standard error, drawn only when that is a terminal: percent to one
// decimal, the time since the task started and an estimate of what is left.
class ProgressBar
{
public:
    ProgressBar();

    // The task was started now: elapsed time counts from here.
    void Start();
    void Show(double _dPercent, const QString& _qstrStatus);
    // Clears the bar so that a line printed on the same terminal stays readable.
    void Clear();
    bool Enabled() const { return m_blEnabled; }

    // The bar's text. _nLeftMs below 0: no estimate yet.
    static QString Text(double _dPercent, const QString& _qstrStatus, qint64 _nElapsedMs, qint64 _nLeftMs);
    // What is left at the pace from the first sample (_dFromPercent at _nFromMs) to now.
    static qint64 Estimate(double _dFromPercent, qint64 _nFromMs, double _dPercent, qint64 _nNowMs);
    // "m:ss", or "h:mm:ss" from an hour on.
    static QString Clock(qint64 _nMs);

private:
    bool m_blEnabled;
    bool m_blShown = false;
    QElapsedTimer m_timer;
    double m_dFirstPercent = -1;
    qint64 m_nFirstMs = 0;
};
