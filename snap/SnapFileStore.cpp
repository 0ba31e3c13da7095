#include "snap/SnapFileStore.h"
#include "core/LogCategories.h"

#include "core/PrivateFolder.h"

#include <QDebug>
#include <QStandardPaths>
#include <QUuid>

#include <algorithm>
#include <atomic>

namespace {

const QString kFolderName = QStringLiteral("snap_screen_tool");

PrivateFolder OpenFolder()
{
    PrivateFolder shared =
        PrivateFolder::Open(QStandardPaths::writableLocation(QStandardPaths::TempLocation), {kFolderName});
    if (shared.IsValid())
        return shared;
    QString base = PrivateFolder::RuntimeRoot();
    if (base.isEmpty())
        base = PrivateFolder::CacheRoot();
    PrivateFolder own = PrivateFolder::Open(base, {PrivateFolder::ServiceFolderName(), kFolderName});
    static std::atomic<bool> s_blWarned{false};
    if (!s_blWarned.exchange(true))
        qCWarning(lcSnap).noquote() << "SnapFileStore:the shared screenshot folder is refused (" +
                                           shared.Error() + "), screenshots go to " + own.Path();
    return own;
}

void KeepWithin(const PrivateFolder& _folder, qint64 _nKeepBytes, const QString& _qstrNewest)
{
    QVector<PrivateFolder::FileEntry> files = _folder.Files();
    std::sort(files.begin(), files.end(), [](const auto& _a, const auto& _b) {
        return _a.nModifiedMs != _b.nModifiedMs ? _a.nModifiedMs < _b.nModifiedMs : _a.qstrName < _b.qstrName;
    });
    qint64 total = 0;
    for (const auto& file : files)
        total += file.nBytes;
    for (const auto& file : files) {
        if (total <= _nKeepBytes)
            break;
        if (file.qstrName != _qstrNewest && _folder.RemoveFile(file.qstrName))
            total -= file.nBytes;
    }
}

} // namespace

QString SnapFileStore::SharedFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation) + QLatin1Char('/') + kFolderName;
}

SnapFileStore::Result SnapFileStore::Save(const QByteArray& _baPng, qint64 _nKeepBytes)
{
    Result result;
    const PrivateFolder folder = OpenFolder();
    if (!folder.IsValid()) {
        result.error = folder.Error();
        qCCritical(lcSnap).noquote() << "SnapFileStore::Save:refused:" + result.error;
        return result;
    }
    const QString name = QUuid::createUuid().toString() + QStringLiteral(".png");
    if (const auto written = folder.WriteFile(name, _baPng); !written) {
        result.error = written.Error();
        qCCritical(lcSnap).noquote() << "SnapFileStore::Save:" + folder.Path() + ":" + result.error;
        return result;
    }
    KeepWithin(folder, _nKeepBytes, name);
    result.ok = true;
    result.path = folder.Path() + QLatin1Char('/') + name;
    return result;
}
