#pragma once

// Resources in a static library are only linked in when something references them.
void InitQorvResources();
