#pragma once

#include "core/AbilityManager.h"

#include <vector>

class MessageService;

// The service's abilities, made now on the calling thread (the main thread), in the order their
// commands are offered and listed: the one place an ability is added. _hub carries what the
// service sends itself.
AbilityManager::Abilities QorvAbilities(MessageService& _hub);
// What the feature libraries must do at start-up before any client can send a command.
void RunQorvStartupSteps();
