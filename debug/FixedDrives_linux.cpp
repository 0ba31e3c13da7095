// Fixed drives on Linux: mount points of local block-device file systems, read from the mount
// table through QStorageInfo (/proc/self/mounts). Memory, kernel, overlay and network file
// systems stand in for the non-fixed drive types; the key is the mount point itself, which the
// disk space query accepts.
#include "debug/FixedDrives.h"
#include "core/LogCategories.h"

#include <QDebug>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>

namespace FixedDrives {

QStringList Keys()
{
    QStringList keys;
    for (const QStorageInfo& storage : QStorageInfo::mountedVolumes()) {
        if (!IsFixed(storage.device(), storage.fileSystemType())) {
            qCWarning(lcDebug) << "non fixed disk found, ignore:" << storage.rootPath()
                               << " type=" << storage.fileSystemType();
            continue;
        }
        if (QFileInfo(storage.rootPath()).isDir())
            keys.append(storage.rootPath());
    }
    return keys;
}

bool IsFixed(const QByteArray& _baDevice, const QByteArray& _baType)
{
    static const QSet<QByteArray> kNotLocal = {
        "tmpfs", "devtmpfs", "ramfs", "proc",  "sysfs", "overlay", "squashfs",  "nfs",
        "nfs4",  "cifs",     "smb3",  "smbfs", "9p",    "ceph",    "glusterfs", "afs"};
    // Fuse file systems (sshfs and the like) may sit on a network; they are not drives.
    return _baDevice.startsWith("/dev/") && !kNotLocal.contains(_baType) && !_baType.startsWith("fuse");
}

} // namespace FixedDrives
