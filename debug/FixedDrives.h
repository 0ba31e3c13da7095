#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The machine's fixed drives, as the disk space query names them.
namespace FixedDrives {

// Keys for "query_disk_space", one per fixed drive that is a directory, in the platform's order.
// Other drives are logged as ignored.
QStringList Keys();
// Whether a mounted volume of this device and file system type counts as a fixed drive.
bool IsFixed(const QByteArray& _baDevice, const QByteArray& _baType);

} // namespace FixedDrives
