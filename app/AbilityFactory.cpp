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

IAbility* CreateQorvAbility(int _nIndex)
{
    switch (_nIndex) {
    case 1:
        return new AbilitySnapTool;
    case 2:
        return new AbilityInstallTool;
    case 3:
        return new AbilityCountDownTool;
    case 4:
        return new AbilityProcessTool;
    case 5:
        return new AbilityCustomToastTool;
    case 6:
        return new AbilityAutoInstallTool;
    case 7:
        return new AbilityNetworkTool;
    case 8:
        return new AbilitySystemInfoTool;
    default:
        return nullptr;
    }
}

void RunQorvStartupSteps()
{
    // Undo replaces that a crash cut short before any client can start a new one.
    ReplaceHelper::RollBackInterruptedRuns();
}
