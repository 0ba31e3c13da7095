#include "notices/AbilityCustomToastTool.h"

#include "notices/CustomToast.h"
#include "notices/ServiceTips.h"
#include "notices/ViewTips.h"

const std::vector<AbilityCustomToastTool::Row> AbilityCustomToastTool::kCommands = {
    {"command_custom_toast", &AbilityCustomToastTool::DealCustomToast, ReplyKind::Silent, {}},
    {"command_show_tips_view", &AbilityCustomToastTool::DealShowTipsView, ReplyKind::Silent, {}},
};

AbilityCustomToastTool::AbilityCustomToastTool() : AbilityTable(kCommands), m_pCustomToast(new CustomToast) {}

AbilityCustomToastTool::~AbilityCustomToastTool()
{
    m_pCustomToast->close();
    m_pCustomToast->deleteLater();
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
    ServiceTips::Opened(_jsonCommand, viewTips);
}
