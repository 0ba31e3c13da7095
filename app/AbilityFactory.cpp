#include "app/AbilityFactory.h"

#include "core/IAbility.h"
#include "install/AbilityInstallTool.h"
#include "install/ReplaceHelper.h"
#include "network/AbilityNetworkTool.h"
#include "notices/AbilityCountDownTool.h"
#include "notices/AbilityCustomToastTool.h"
#include "notices/ServiceTips.h"
#include "snap/AbilitySnapTool.h"
#include "system/AbilityProcessTool.h"
#include "system/AbilitySystemInfoTool.h"
#include "update/AbilityAutoInstallTool.h"

AbilityManager::Abilities QorvAbilities(MessageService& _hub)
{
    // The service's own tips windows: asked for by the network monitor, opened by the tips ability.
    const auto serviceTips = std::make_shared<ServiceTips>(_hub);
    AbilityManager::Abilities abilities;
    abilities.push_back(std::make_unique<AbilitySnapTool>(_hub));
    abilities.push_back(std::make_unique<AbilityInstallTool>());
    abilities.push_back(std::make_unique<AbilityCountDownTool>());
    abilities.push_back(std::make_unique<AbilityProcessTool>());
    abilities.push_back(std::make_unique<AbilityCustomToastTool>(serviceTips));
    abilities.push_back(std::make_unique<AbilityAutoInstallTool>());
    abilities.push_back(std::make_unique<AbilityNetworkTool>(serviceTips));
    abilities.push_back(std::make_unique<AbilitySystemInfoTool>());
    return abilities;
}

void RunQorvStartupSteps()
{
    // Undo replaces that a crash cut short before any client can start a new one.
    ReplaceHelper::RollBackInterruptedRuns();
}
