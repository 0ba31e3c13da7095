// Fixed drives on Linux: mount points of local block-device file systems, read from the mount
// table through QStorageInfo (/proc/self/mounts). Memory, kernel, overlay and network file
// systems stand in for the non-fixed drive types; the key is the mount point itself, which the
// disk space query accepts.
#include "debug/FixedDrives.h"

#include <QDebug>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>

namespace {

bool IsFixed(const QStorageInfo& _storage)
{
    static const QSet<QByteArray> kNotLocal = {
        "tmpfs", "devtmpfs", "ramfs", "proc",  "sysfs",      "overlay", "squashfs", "nfs",       "nfs4",
        "cifs",  "smb3",     "smbfs", "sshfs", "fuse.sshfs", "9p",      "ceph",     "glusterfs", "afs"};
    const QByteArray type = _storage.fileSystemType();
    return _storage.device().startsWith("/dev/") && !kNotLocal.contains(type) && !type.startsWith("fuse.");
}

} // namespace

namespace FixedDrives {

QStringList Keys()
{
    QStringList keys;
    for (const QStorageInfo& storage : QStorageInfo::mountedVolumes()) {
        if (!IsFixed(storage)) {
            qWarning() << "non fixed disk found, ignore:" << storage.rootPath()
                       << " type=" << storage.fileSystemType();
            continue;
        }
        if (QFileInfo(storage.rootPath()).isDir())
            keys.append(storage.rootPath());
    }
    return keys;
}

} // namespace FixedDrives
