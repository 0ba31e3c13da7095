#pragma once

class IAbility;

// Creates the ability of a fixed index (1 to 8); null for an ability not built.
IAbility* CreateQorvAbility(int _nIndex);
// What the feature libraries must do at start-up before any client can send a command.
void RunQorvStartupSteps();
