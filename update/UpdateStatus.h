#pragma once

#include <QString>

namespace UpdateTool {

// The toolbox's stages, as its signals carry them.
enum EmInstallStatus { kNotStarted = 0, kFinished = 1, kDownloading = 2, kUnzipping = 3, kReplacing = 4 };
// The question asked before an update or an uninstallation, and how it ended.
enum EmPrepareStatus { kPreparing = 6, kReadyToUninstall = 7, kCannotUninstall = 8 };

// The "status" the requester reads for a stage or an outcome.
QString StatusText(int _emStatus);
// The data of an answer: a request body holding only the status and the percent.
QString StatusBody(const QString& _qstrStatus, double _dPercent = 0);

} // namespace UpdateTool
