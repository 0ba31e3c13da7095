#include "notices/AbilityCustomToastTool.h"

#include "notices/CustomToast.h"
#include "notices/ServiceTips.h"
#include "notices/ViewTips.h"

const std::vector<AbilityCustomToastTool::Row> AbilityCustomToastTool::kCommands = {
    {"command_custom_toast", &AbilityCustomToastTool::DealCustomToast, ReplyKind::Silent, {}},
    {"command_show_tips_view", &AbilityCustomToastTool::DealShowTipsView, ReplyKind::Silent, {}},
};

AbilityCustomToastTool::AbilityCustomToastTool() : AbilityTable(kCommands) {}

AbilityCustomToastTool::~AbilityCustomToastTool()
{
    if (!m_pCustomToast)
        return;
    m_pCustomToast->close();
    m_pCustomToast->deleteLater();
}

CustomToast* AbilityCustomToastTool::Toast()
{
    if (!m_pCustomToast)
        m_pCustomToast = new CustomToast;
    return m_pCustomToast;
}

void AbilityCustomToastTool::DealCustomToast(const JsonCommand& _jsonCommand)
{
    CustomToast* toast = Toast();
    CustomToastBody body = toast->Body();
    body.LoadFromString(_jsonCommand.data);
    toast->SetBody(body);
    toast->ShowToast();
}

void AbilityCustomToastTool::DealShowTipsView(const JsonCommand& _jsonCommand)
{
    ViewTipsData description;
    description.LoadFromString(_jsonCommand.data);
    ViewTips* viewTips = new ViewTips;
    viewTips->InitView(description);
    viewTips->show();
    m_tipsWindowLimit.Admit(viewTips);
    ServiceTips::Opened(_jsonCommand, viewTips);
}
