// Fixed drives on Windows: the drive letters of GetLogicalDrives, each root kept when
// GetDriveTypeW calls it DRIVE_FIXED; the key is the drive's first two characters ("C:"), which
// the disk space query accepts.
#include "debug/FixedDrives.h"
#include "core/LogCategories.h"

#include <QDebug>
#include <QFileInfo>

#include <windows.h>

namespace FixedDrives {

QStringList Keys()
{
    QStringList keys;
    const DWORD drives = GetLogicalDrives();
    for (int letter = 0; letter < 26; ++letter) {
        if (!(drives & (1u << letter)))
            continue;
        const QString root = QString(QChar('A' + letter)) + QStringLiteral(":\\");
        const UINT type = GetDriveTypeW(reinterpret_cast<const wchar_t*>(root.utf16()));
        if (!IsFixed(root.toUtf8(), QByteArray::number(type))) {
            qCWarning(lcDebug) << "non fixed disk found, ignore:" << root << " type=" << type;
            continue;
        }
        if (QFileInfo(root).isDir())
            keys.append(root.left(2));
    }
    return keys;
}

bool IsFixed(const QByteArray& _baDevice, const QByteArray& _baType)
{
    // The type is GetDriveTypeW's number in decimal; removable, optical, network and memory
    // drives are not fixed.
    bool ok = false;
    const uint type = _baType.toUInt(&ok);
    return ok && type == DRIVE_FIXED && !_baDevice.isEmpty();
}

} // namespace FixedDrives
