#include "core/LogCategories.h"

Q_LOGGING_CATEGORY(lcCore, "qorv.core")
Q_LOGGING_CATEGORY(lcInstall, "qorv.install")
Q_LOGGING_CATEGORY(lcUpdate, "qorv.update")
Q_LOGGING_CATEGORY(lcSystem, "qorv.system")
Q_LOGGING_CATEGORY(lcSnap, "qorv.snap")
Q_LOGGING_CATEGORY(lcNotices, "qorv.notices")
Q_LOGGING_CATEGORY(lcNetwork, "qorv.network")
Q_LOGGING_CATEGORY(lcDebug, "qorv.debug")
Q_LOGGING_CATEGORY(lcApp, "qorv.app")
Q_LOGGING_CATEGORY(lcService, "qorv.service")
