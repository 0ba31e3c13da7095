#include "core/TaskCodes.h"

namespace TaskCodes {

QString Text(qint64 _nCode)
{
    switch (_nCode) {
    case kProgress:
        return QString();
    case kFinish:
        return QStringLiteral("finish");
    case kTaskExist:
        return QStringLiteral("task already exist");
    case kInvalidParam:
        return QStringLiteral("invalid param");
    case kTaskNotExist:
        return QStringLiteral("task not exist");
    default:
        return QStringLiteral("unkown error");
    }
}

} // namespace TaskCodes
