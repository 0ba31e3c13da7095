// Linux has no per-process debug privilege to raise: reading other processes in /proc needs
// none for the user's own processes, so this succeeds without doing anything.
#include "core/DebugPrivilege.h"

int EnableDebugPrivilege()
{
    return 0;
}
