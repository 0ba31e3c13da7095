#pragma once

#include "core/JsonCommand.h"

#include <QString>
#include <vector>

// What every ability offers the ability manager.
class IAbility
{
public:
    // The command names this ability handles; read once at registration.
    virtual std::vector<QString> GetAbilities() = 0;
    // True when the ability took the command, even if its result follows later.
    virtual bool DealCommand(const JsonCommand& command) = 0;
    virtual ~IAbility() = default;
};
