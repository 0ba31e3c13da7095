#pragma once

#include "core/AbilityManager.h"

#include <vector>

// The service's abilities, made now on the calling thread (the main thread), in the order their
// commands are offered and listed: the one place an ability is added.
AbilityManager::Abilities QorvAbilities();
// What the feature libraries must do at start-up before any client can send a command.
void RunQorvStartupSteps();
