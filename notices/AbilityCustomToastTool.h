#pragma once

#include "core/IAbility.h"
#include "core/JsonCommand.h"
#include "notices/TipsWindowLimit.h"

class CustomToast;

// Pops up the toast ("command_custom_toast") and opens tips windows ("command_show_tips_view").
// Nothing is answered for either: the windows are the whole result.
class AbilityCustomToastTool : public IAbility
{
public:
    AbilityCustomToastTool();
    ~AbilityCustomToastTool() override;

    std::vector<QString> GetAbilities() override;
    bool DealCommand(const JsonCommand& _jsonCommand) override;

    CustomToast* Toast() const { return m_pCustomToast; }
    const TipsWindowLimit& TipsWindows() const { return m_tipsWindowLimit; }

private:
    void DealCustomToast(const JsonCommand& _jsonCommand);
    void DealShowTipsView(const JsonCommand& _jsonCommand);

    struct CommandEntry
    {
        const char* name;
        void (AbilityCustomToastTool::*handler)(const JsonCommand&);
    };
    static const CommandEntry kCommands[];

    CustomToast* m_pCustomToast;
    TipsWindowLimit m_tipsWindowLimit;
};
