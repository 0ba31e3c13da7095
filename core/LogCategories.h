#pragma once

#include <QLoggingCategory>

// One logging category per source folder ("qorv.core", "qorv.install", ...). Every line still
// goes through the logger, which writes what the configured level allows; QT_LOGGING_RULES can
// silence or enable one folder's lines on top of that, e.g. "qorv.install.debug=false".
Q_DECLARE_LOGGING_CATEGORY(lcCore)
Q_DECLARE_LOGGING_CATEGORY(lcInstall)
Q_DECLARE_LOGGING_CATEGORY(lcUpdate)
Q_DECLARE_LOGGING_CATEGORY(lcSystem)
Q_DECLARE_LOGGING_CATEGORY(lcSnap)
Q_DECLARE_LOGGING_CATEGORY(lcNotices)
Q_DECLARE_LOGGING_CATEGORY(lcNetwork)
Q_DECLARE_LOGGING_CATEGORY(lcDebug)
Q_DECLARE_LOGGING_CATEGORY(lcApp)
// Not a folder: the service's start, stop, configuration and refusals, the warnings the journal
// gets besides critical lines (Logger::IsForJournal).
Q_DECLARE_LOGGING_CATEGORY(lcService)
