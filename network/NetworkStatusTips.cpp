#include "network/NetworkStatusTips.h"

NetworkStatusTips::NetworkStatusTips(std::shared_ptr<ServiceTips> _pTips) : m_pTips(std::move(_pTips)) {}

ViewTipsData NetworkStatusTips::Describe(bool _blIsOn, const QString& _qstrMsg)
{
    ViewTipsData tips = ServiceTips::Styled(QStringLiteral("network_error_tips.qss"));
    tips.width = 258;
    tips.height = 84;
    tips.show_time = 5;
    tips.logo_show = true;
    tips.main_tips = true;
    tips.view_data = ObjData::Make("viewTips", 0, 0, 0);
    tips.view_data.border_radius = 12;
    tips.logo_data =
        ObjData::Make(_blIsOn ? "lblLogoNetworkNoErrorImage" : "lblLogoNetworkErrorImage", 40, 40, 8);
    tips.main_tips_data = ObjData::Make("lblMainTips", _blIsOn ? 90 : 190, 20, 4, 14, _qstrMsg);
    return tips;
}

void NetworkStatusTips::Replace(bool _blIsOn, const QString& _qstrMsg)
{
    // A flapping network shows one status at a time: the newest.
    m_pTips->Close(m_shown);
    m_shown = m_pTips->Show(Describe(_blIsOn, _qstrMsg));
}
