#include "app/AbilityFactory.h"

#include "core/IAbility.h"
#include "install/AbilityInstallTool.h"
#include "install/ReplaceHelper.h"
#include "network/AbilityNetworkTool.h"
#include "notices/AbilityCountDownTool.h"
#include "notices/AbilityCustomToastTool.h"
#include "snap/AbilitySnapTool.h"
#include "system/AbilityProcessTool.h"
#include "system/AbilitySystemInfoTool.h"
#include "update/AbilityAutoInstallTool.h"

namespace {
template <class Ability> IAbility* Make()
{
    return new Ability;
}
} // namespace

std::vector<AbilityManager::Maker> QorvAbilities()
{
    return {Make<AbilitySnapTool>,    Make<AbilityInstallTool>,     Make<AbilityCountDownTool>,
            Make<AbilityProcessTool>, Make<AbilityCustomToastTool>, Make<AbilityAutoInstallTool>,
            Make<AbilityNetworkTool>, Make<AbilitySystemInfoTool>};
}

void RunQorvStartupSteps()
{
    // Undo replaces that a crash cut short before any client can start a new one.
    ReplaceHelper::RollBackInterruptedRuns();
}
