#pragma once

// Closes a descriptor that the platform files handed out: a POSIX one, or a C runtime one over a
// Windows handle. A negative one is left alone.
void CloseDescriptor(int _nFd);
