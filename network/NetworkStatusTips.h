#pragma once

#include "notices/ServiceTips.h"
#include "notices/ViewTipsData.h"

#include <QString>

#include <memory>

// The small network-status tips window: its description, and the replacement of the one this
// monitor showed last.
class NetworkStatusTips
{
public:
    explicit NetworkStatusTips(std::shared_ptr<ServiceTips> _pTips);

    // The tips description of this status (the style sheet "network_error_tips.qss").
    static ViewTipsData Describe(bool _blIsOn, const QString& _qstrMsg);
    // Closes the window shown for the previous status, if it is still up or on its way, and
    // shows this one.
    void Replace(bool _blIsOn, const QString& _qstrMsg);

private:
    std::shared_ptr<ServiceTips> m_pTips;
    ServiceTips::Handle m_shown;
};
