#include "update/UpdateStatus.h"

#include "update/CommandAutoInstallToolBody.h"

namespace UpdateTool {

QString StatusText(int _emStatus)
{
    switch (_emStatus) {
    case kFinished:
        return QStringLiteral("succeed");
    case kDownloading:
        return QStringLiteral("downloading");
    case kUnzipping:
        return QStringLiteral("unziping");
    case kReplacing:
        return QStringLiteral("replacing");
    case kPreparing:
        return QStringLiteral("preparing uninstall");
    case kReadyToUninstall:
        return QStringLiteral("ready to unstall");
    case kCannotUninstall:
        return QStringLiteral("cannot unstall");
    default:
        return QStringLiteral("ready");
    }
}

QString StatusBody(const QString& _qstrStatus, double _dPercent)
{
    CommandAutoInstallToolBody body;
    body.status = _qstrStatus;
    body.percent = _dPercent;
    return body.ToString();
}

} // namespace UpdateTool
