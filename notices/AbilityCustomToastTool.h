#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"
#include "notices/TipsWindowLimit.h"

class CustomToast;

// Pops up the toast ("command_custom_toast") and opens tips windows ("command_show_tips_view").
// Nothing is answered for either: the windows are the whole result.
class AbilityCustomToastTool : public AbilityTable<AbilityCustomToastTool>
{
public:
    AbilityCustomToastTool();
    ~AbilityCustomToastTool() override;

    // Built on the first toast: an idle service keeps no window, icon or image plugins loaded.
    CustomToast* Toast();
    const TipsWindowLimit& TipsWindows() const { return m_tipsWindowLimit; }

private:
    void DealCustomToast(const JsonCommand& _jsonCommand);
    void DealShowTipsView(const JsonCommand& _jsonCommand);

    static const std::vector<Row> kCommands;

    CustomToast* m_pCustomToast = nullptr;
    TipsWindowLimit m_tipsWindowLimit;
};
