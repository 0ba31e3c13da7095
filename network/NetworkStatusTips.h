#pragma once

#include "notices/ViewTipsData.h"

#include <QString>

// The small network-status tips window: its description, and the replacement of the one this
// monitor showed last.
namespace NetworkStatusTips {

// The tips description of this status (the style sheet "network_error_tips.qss").
ViewTipsData Describe(bool _blIsOn, const QString& _qstrMsg);
// Closes the window shown for the previous status, if it is still up, and shows this one.
void Replace(bool _blIsOn, const QString& _qstrMsg);

} // namespace NetworkStatusTips
