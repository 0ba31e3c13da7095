#include "notices/AbilityCustomToastTool.h"

#include "core/CommandTable.h"
#include "notices/CustomToast.h"
#include "notices/ViewTips.h"

const AbilityCustomToastTool::CommandEntry AbilityCustomToastTool::kCommands[] = {
    {"command_custom_toast", &AbilityCustomToastTool::DealCustomToast},
    {"command_show_tips_view", &AbilityCustomToastTool::DealShowTipsView},
};

AbilityCustomToastTool::AbilityCustomToastTool() : m_pCustomToast(new CustomToast) {}

AbilityCustomToastTool::~AbilityCustomToastTool()
{
    m_pCustomToast->close();
    m_pCustomToast->deleteLater();
}

std::vector<QString> AbilityCustomToastTool::GetAbilities()
{
    return CommandTable::Names(kCommands);
}

bool AbilityCustomToastTool::DealCommand(const JsonCommand& _jsonCommand)
{
    const CommandEntry* entry = CommandTable::Find(kCommands, _jsonCommand);
    if (!entry)
        return false;
    (this->*entry->handler)(_jsonCommand);
    return true;
}

void AbilityCustomToastTool::DealCustomToast(const JsonCommand& _jsonCommand)
{
    CustomToastBody body = m_pCustomToast->Body();
    body.LoadFromString(_jsonCommand.data);
    m_pCustomToast->SetBody(body);
    m_pCustomToast->ShowToast();
}

void AbilityCustomToastTool::DealShowTipsView(const JsonCommand& _jsonCommand)
{
    ViewTipsData description;
    description.LoadFromString(_jsonCommand.data);
    ViewTips* viewTips = new ViewTips;
    viewTips->InitView(description);
    viewTips->show();
    m_tipsWindowLimit.Admit(viewTips);
}
