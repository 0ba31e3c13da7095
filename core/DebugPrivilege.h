#pragma once

// Raises the process's debug privilege where the platform has one; 0 on success.
int EnableDebugPrivilege();
