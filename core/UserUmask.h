#pragma once

// The service's unit starts it with a closed umask (0077) so that nothing it makes for itself is
// ever readable by others, even before its own checks run. What a client asks it to write, and
// the programs it starts, must still get the user's usual umask: that of the process that
// started the service (the user's service manager, session or shell).
namespace UserUmask {

// Sets the process umask to the parent's; leaves it as it is when that cannot be read.
void Apply();

} // namespace UserUmask
