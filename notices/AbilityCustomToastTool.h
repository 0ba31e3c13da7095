#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"
#include "notices/TipsWindowLimit.h"

#include <memory>

class CustomToast;
class ServiceTips;

// Pops up the toast ("command_custom_toast") and opens tips windows ("command_show_tips_view").
// Nothing is answered for either: the windows are the whole result.
class AbilityCustomToastTool : public AbilityTable<AbilityCustomToastTool>
{
public:
    // _pServiceTips: the service's own tips windows, which may be closed before they open here.
    explicit AbilityCustomToastTool(std::shared_ptr<ServiceTips> _pServiceTips);
    ~AbilityCustomToastTool() override;

    // Built on the first toast: an idle service keeps no window, icon or image plugins loaded.
    CustomToast* Toast();
    const TipsWindowLimit& TipsWindows() const { return m_tipsWindowLimit; }

private:
    Handled DealCustomToast(const JsonCommand& _jsonCommand);
    Handled DealShowTipsView(const JsonCommand& _jsonCommand);

    static const std::vector<Row> kCommands;

    std::shared_ptr<ServiceTips> m_pServiceTips;
    CustomToast* m_pCustomToast = nullptr;
    TipsWindowLimit m_tipsWindowLimit;
};
