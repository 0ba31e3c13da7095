// Windows has no umask: what the service makes takes the access list its folder passes on, and
// the programs it starts inherit nothing of the kind, so there is nothing to restore.
#include "core/UserUmask.h"

namespace UserUmask {

void Apply() {}

} // namespace UserUmask
