#include "app/AbilityFactory.h"

#include "core/IAbility.h"

IAbility* CreateQorvAbility(int _nIndex)
{
    switch (_nIndex) {
    default:
        return nullptr;
    }
}
