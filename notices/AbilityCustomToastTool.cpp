#include "notices/AbilityCustomToastTool.h"

#include "notices/CustomToast.h"
#include "notices/ServiceTips.h"
#include "notices/ViewTips.h"

const std::vector<AbilityCustomToastTool::Row> AbilityCustomToastTool::kCommands = {
    {"command_custom_toast", &AbilityCustomToastTool::DealCustomToast, ReplyKind::Silent, {}},
    {"command_show_tips_view", &AbilityCustomToastTool::DealShowTipsView, ReplyKind::Silent, {}},
};

AbilityCustomToastTool::AbilityCustomToastTool(std::shared_ptr<ServiceTips> _pServiceTips)
    : AbilityTable(kCommands), m_pServiceTips(std::move(_pServiceTips))
{
}

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

Handled AbilityCustomToastTool::DealCustomToast(const JsonCommand& _jsonCommand)
{
    CustomToast* toast = Toast();
    CustomToastBody body = toast->Body();
    body.LoadFromString(_jsonCommand.data);
    toast->SetBody(body);
    toast->ShowToast();
    return Handled::Quiet();
}

Handled AbilityCustomToastTool::DealShowTipsView(const JsonCommand& _jsonCommand)
{
    if (!m_pServiceTips->IsWanted(_jsonCommand))
        return Handled::Quiet();
    ViewTipsData description;
    description.LoadFromString(_jsonCommand.data);
    ViewTips* viewTips = new ViewTips;
    // A window closed by its owner is gone, not just hidden.
    viewTips->setAttribute(Qt::WA_DeleteOnClose);
    viewTips->InitView(description);
    viewTips->show();
    m_tipsWindowLimit.Admit(viewTips);
    m_pServiceTips->Attach(_jsonCommand, viewTips);
    return Handled::Quiet();
}
