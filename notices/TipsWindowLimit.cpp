#include "notices/TipsWindowLimit.h"
#include "core/LogCategories.h"

#include "notices/ViewTips.h"

#include <QDebug>

#include <algorithm>

void TipsWindowLimit::DropFinished()
{
    // A finished window is hidden at once but deleted only at the next turn of the event loop.
    m_listOpen.erase(std::remove_if(m_listOpen.begin(), m_listOpen.end(),
                                    [](const QPointer<ViewTips>& _p) { return !_p || !_p->isVisible(); }),
                     m_listOpen.end());
}

void TipsWindowLimit::Admit(ViewTips* _pViewTips)
{
    DropFinished();
    while (m_listOpen.size() >= kMaxOpen) {
        QPointer<ViewTips> oldest = m_listOpen.takeFirst();
        qCWarning(lcNotices) << "TipsWindowLimit::Admit:too many tips windows, closing the oldest";
        if (oldest)
            oldest->Finish(QStringLiteral("closed"));
    }
    m_listOpen.append(_pViewTips);
}

int TipsWindowLimit::OpenCount() const
{
    int count = 0;
    for (const QPointer<ViewTips>& p : m_listOpen)
        count += (p && p->isVisible()) ? 1 : 0;
    return count;
}
