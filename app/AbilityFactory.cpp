#include "app/AbilityFactory.h"

#include "core/IAbility.h"
#include "install/AbilityInstallTool.h"
#include "system/AbilityProcessTool.h"
#include "system/AbilitySystemInfoTool.h"

IAbility* CreateQorvAbility(int _nIndex)
{
    switch (_nIndex) {
    case 2:
        return new AbilityInstallTool;
    case 4:
        return new AbilityProcessTool;
    case 8:
        return new AbilitySystemInfoTool;
    default:
        return nullptr;
    }
}
