#pragma once

// Counts the user's requests to stop qorvctl (Ctrl-C, or the system asking it to end), up to two:
// the first stops the task it follows, the second stops waiting for that.
void CtlCatchStopRequests();
int CtlStopRequests();
