#pragma once

#include <QString>
#include <QStringList>

// The machine's fixed drives, as the disk space query names them.
namespace FixedDrives {

// Keys for "query_disk_space", one per fixed drive that is a directory, in the platform's order.
// Other drives are logged as ignored.
QStringList Keys();

} // namespace FixedDrives
