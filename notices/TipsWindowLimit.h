#pragma once

#include <QList>
#include <QPointer>

class ViewTips;

// Keeps one client from flooding the screen: at most kMaxOpen tips windows at once; admitting
// one more finishes the oldest first.
class TipsWindowLimit
{
public:
    static constexpr int kMaxOpen = 32;

    void Admit(ViewTips* _pViewTips);
    // Windows admitted and not yet finished.
    int OpenCount() const;

private:
    void DropFinished();

    // QPointer: a window that deleted itself reads as null here.
    QList<QPointer<ViewTips>> m_listOpen;
};
